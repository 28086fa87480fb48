#pragma once

// Pictures put while the tester watches its own clock and the screen, and the library's figures
// fetched and judged against what it saw (judge/figure_judges.h). Shared by the figure checks
// and the checks of each drawing path.

#include "checks/scene.h"
#include "judge/figure_judges.h"

#include <vector>

struct ObservedPuts {
    std::vector<PutWindow> puts; // of the accepted puts, in order
    uint64_t accepted = 0, seen = 0;
};

// Puts count flat pictures (alternating colours) through olm_vout_put_buffer_pool_yuv, each
// waited for on screen, noting the clock around each put and when its picture was seen.
ObservedPuts showObserved(Scene& s, Verdict& verdict, olm_vout_t* vout, HostId host, int count,
                          int width, int height);

// Every presentation record the output keeps, once the last observed put has its record
// (completion is reported a little after the picture shows) or the wait is over.
std::vector<olm_vout_presentation> presentationsOf(CheckContext& ctx, olm_vout_t* vout,
                                                   const ObservedPuts* observed = nullptr);

// The path the output should take: Present where the server offers it and
// OLM_VOUT_NO_PRESENT is not set in the environment, else PutImage; on Wayland presentation
// feedback where the compositor offers it and OLM_VOUT_NO_PRESENTATION is not set, else frame
// callbacks.
uint32_t expectedPath(const Scene& s);

// Why the expected path is the one it is ("the server offers X Present", "OLM_VOUT_NO_PRESENT=1
// is set"), for messages.
std::string whyExpectedPath(const Scene& s);
// The path the output reports through olm_vout_get_timing; expectedPath where the library does
// not have it.
uint32_t reportedPath(Scene& s, olm_vout_t* vout);
// The reported path against the expected one, in one message that names both and why.
Verdict judgeReportedPath(Scene& s, olm_vout_t* vout);

// Once the output is idle: its counters, records and timing (each that the library has)
// against the observed puts and the refresh the server reports. Records and timing are judged
// on the path the library reports: whether that is the right path is judgeReportedPath's
// question alone, so a wrong path is reported once, as itself.
Verdict judgeObservedFigures(Scene& s, olm_vout_t* vout, HostId host, const ObservedPuts& observed);
