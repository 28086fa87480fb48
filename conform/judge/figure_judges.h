#pragma once

// How the library's own figures are judged against what the tester observed itself: the
// presentation records against the tester's clock around each put, the timing summary against
// the records it summarises, and the counters against the records and the pictures seen on
// screen. Pure functions, so they can be tried with any numbers.

#include "judge/verdict.h"
#include "olm_vout.h"

#include <cstdint>
#include <vector>

// One put as the tester saw it: its clock (CLOCK_MONOTONIC, microseconds) just before the call
// and just after it returned, and when the picture was seen on screen (0: not waited for).
struct PutWindow {
    uint64_t beforeUs = 0, afterUs = 0, seenUs = 0;
};

// How far the library's clock readings may stray from the tester's: the put time of a record
// (screen_us - latency_us) from the window of its put (both read CLOCK_MONOTONIC, so only
// rounding), and a record's screen time past the moment the tester saw its picture (completion
// is reported a little after the screen shows it).
inline constexpr uint64_t kPutSlackUs = 100, kSeenSlackUs = 150000;

// The records, oldest first: in order of screen time; on the Present path each at a later
// refresh than the one before (one picture per refresh at most), on the other with refresh 0;
// each one's put time inside one of the puts' windows and its screen time after that put began
// and no later than when the tester saw that picture (or nowUs).
Verdict judgePresentations(const std::vector<olm_vout_presentation>& records, uint32_t path,
                           const std::vector<PutWindow>& puts, uint64_t nowUs);

// The timing summary against the records of the same pictures (all of them, fewer than 256), on
// the path it reports: latency max equal to the largest record latency, p50 and p95 between the
// smallest and the largest, p50 <= p95 <= max, none 0 once pictures reached the screen; on the
// Present path a refresh period within 25 % of measuredPeriodUs (when the tester could measure
// one), on the other refresh period and missed refreshes 0.
Verdict judgeTiming(const olm_vout_timing& timing,
                    const std::vector<olm_vout_presentation>& records, uint32_t measuredPeriodUs);

// The counters of an idle output against what the tester did and saw: put = the pictures
// accepted, put = presented + dropped, presented = the records kept (up to 256) and at least the
// pictures seen on screen.
Verdict judgeCounters(const olm_vout_stats& stats, uint64_t accepted, uint64_t seen,
                      size_t records);

const char* pathName(uint32_t path);
// Whether pictures on the path wait for a refresh the display reports (X Present, Wayland
// presentation feedback): records carry refresh counts and timing a refresh period.
bool isTimedPath(uint32_t path);
