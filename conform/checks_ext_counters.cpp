// ext.get_stats, ext.get_timing, ext.get_presentations: counters and timing. Only invariants
// fail (counters never go back; once idle, put = presented + dropped; no picture is on screen
// before its put); distributions only warn.

#include "scene.h"

#include <time.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWidth = 320, kHeight = 180;

uint64_t monotonicMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000 + uint64_t(now.tv_nsec) / 1000;
}

std::string statsText(const olm_vout_stats& s) {
    return "put " + std::to_string(s.put) + ", presented " + std::to_string(s.presented) +
           ", dropped " + std::to_string(s.dropped);
}

// Puts pictures, each waited for on screen (alternating colours), through the five-function put
// so that the counters are checked also where olm_vout_put_picture is missing.
void showPictures(Scene& s, Verdict& verdict, olm_vout_t* vout, xcb_window_t host, int count,
                  std::vector<uint64_t>* putTimes = nullptr) {
    for (int i = 0; i < count; ++i) {
        const QRgb colour = i % 2 ? kSky : kAmber;
        if (putTimes)
            putTimes->push_back(monotonicMicroseconds());
        s.expectArrived(verdict, s.showFlat(vout, host, kWidth, kHeight, colour), colour,
                        "the window, picture " + std::to_string(i + 1) + ",");
    }
}

// A destroyed output's handle, for the E_HANDLE cases.
olm_vout_t* staleHandle(Scene& s) {
    olm_vout_t* vout = s.requireOutput(s.host(64, 48));
    olm_vout_t* const stale = vout;
    s.ctx.destroy(&vout);
    return stale;
}

Verdict countersAddUp(CheckContext& ctx) {
    Scene s(ctx);
    const xcb_window_t host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    Verdict verdict;
    olm_vout_stats last{};
    auto sample = [&](const std::string& when) {
        olm_vout_stats now{};
        expectCode(verdict, "olm_vout_get_stats " + when, ctx.api.getStats(vout, &now),
                   OLM_VOUT_OK);
        if (now.put < last.put || now.presented < last.presented || now.dropped < last.dropped)
            verdict.fail("counters that never go back (" + when + ")",
                         statsText(last) + " then " + statsText(now));
        last = now;
        return now;
    };
    const olm_vout_stats fresh = sample("on a new output");
    if (fresh.put || fresh.presented || fresh.dropped)
        verdict.fail("all counters 0 on a new output", statsText(fresh));
    // A burst, so that some pictures are superseded, sampled after every put.
    uint64_t accepted = 0;
    const YuvPicture pictures[2] = {flatPicture(kWidth, kHeight, kAmber),
                                    flatPicture(kWidth, kHeight, kSky)};
    for (int i = 0; i < 30; ++i) {
        accepted += s.put(vout, pictures[i % 2]) == OLM_VOUT_OK;
        sample("during a burst of puts");
    }
    if (last.put != accepted)
        verdict.fail("put = " + std::to_string(accepted) + ", the pictures accepted",
                     statsText(last));
    s.expectArrived(verdict,
                    s.waitFor(host, [](const QImage& shot) { return centreShows(shot, kSky); }),
                    kSky, "the window, after the burst,");
    const auto end = Clock::now() + std::chrono::milliseconds(ctx.scaled(3000));
    while (sample("while settling").put != last.presented + last.dropped && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (last.put != last.presented + last.dropped)
        verdict.fail("put = presented + dropped once the output is idle", statsText(last));
    if (last.presented == 0)
        verdict.fail("presented of at least 1 with a picture on screen", statsText(last));
    return verdict;
}

Verdict statsArguments(CheckContext& ctx) {
    Scene s(ctx);
    olm_vout_t* vout = s.requireOutput(s.host(kWidth, kHeight));
    Verdict verdict;
    expectCode(verdict, "olm_vout_get_stats with NULL stats", ctx.api.getStats(vout, nullptr),
               OLM_VOUT_E_HANDLE);
    olm_vout_stats stats{};
    expectCode(verdict, "olm_vout_get_stats on a destroyed handle",
               ctx.api.getStats(staleHandle(s), &stats), OLM_VOUT_E_HANDLE);
    return verdict;
}

// A timing record inside a larger buffer of 0xAA bytes, to see how far the library writes.
struct TimingBuffer {
    union {
        olm_vout_timing timing;
        uint8_t bytes[sizeof(olm_vout_timing) + 32];
    };
    explicit TimingBuffer(uint32_t structSize) {
        std::memset(bytes, 0xAA, sizeof bytes);
        timing.struct_size = structSize;
    }
    // The first byte from `from` on that is no longer 0xAA, or -1.
    int firstWrittenFrom(size_t from) const {
        for (size_t i = from; i < sizeof bytes; ++i)
            if (bytes[i] != 0xAA)
                return int(i);
        return -1;
    }
};

Verdict timingRecordSizes(CheckContext& ctx) {
    Scene s(ctx);
    olm_vout_t* vout = s.requireOutput(s.host(kWidth, kHeight));
    Verdict verdict;
    for (uint32_t size : {0u, 4u, 7u}) {
        TimingBuffer b(size);
        expectCode(verdict, "olm_vout_get_timing with struct_size " + std::to_string(size),
                   ctx.api.getTiming(vout, &b.timing), OLM_VOUT_E_INVALID);
        if (const int at = b.firstWrittenFrom(4); at >= 0)
            verdict.fail("nothing written for struct_size " + std::to_string(size),
                         "byte " + std::to_string(at) + " written");
    }
    // Older, shorter records: filled only as far as they reach.
    for (uint32_t size : {8u, 12u, 20u}) {
        TimingBuffer b(size);
        expectCode(verdict, "olm_vout_get_timing with struct_size " + std::to_string(size),
                   ctx.api.getTiming(vout, &b.timing), OLM_VOUT_OK);
        if (const int at = b.firstWrittenFrom(size); at >= 0)
            verdict.fail("nothing written beyond struct_size " + std::to_string(size),
                         "byte " + std::to_string(at) + " written");
        if (b.timing.path > OLM_VOUT_PATH_PRESENT)
            verdict.fail("path 0 or 1", std::to_string(b.timing.path));
    }
    TimingBuffer whole(sizeof(olm_vout_timing));
    expectCode(verdict, "olm_vout_get_timing", ctx.api.getTiming(vout, &whole.timing), OLM_VOUT_OK);
    const olm_vout_timing& t = whole.timing;
    if (t.latency_p50_us || t.latency_p95_us || t.latency_max_us)
        verdict.fail("latencies of 0 before the first picture",
                     std::to_string(t.latency_p50_us) + ", " + std::to_string(t.latency_p95_us) +
                         ", " + std::to_string(t.latency_max_us) + " us");
    expectCode(verdict, "olm_vout_get_timing with NULL timing", ctx.api.getTiming(vout, nullptr),
               OLM_VOUT_E_HANDLE);
    TimingBuffer stale(sizeof(olm_vout_timing));
    expectCode(verdict, "olm_vout_get_timing on a destroyed handle",
               ctx.api.getTiming(staleHandle(s), &stale.timing), OLM_VOUT_E_HANDLE);
    return verdict;
}

Verdict timingValues(CheckContext& ctx) {
    Scene s(ctx);
    const xcb_window_t host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    Verdict verdict;
    showPictures(s, verdict, vout, host, 10);
    olm_vout_timing t{};
    t.struct_size = sizeof t;
    expectCode(verdict, "olm_vout_get_timing", ctx.api.getTiming(vout, &t), OLM_VOUT_OK);
    const std::string latencies = "p50 " + std::to_string(t.latency_p50_us) + ", p95 " +
                                  std::to_string(t.latency_p95_us) + ", max " +
                                  std::to_string(t.latency_max_us) + " us";
    if (t.latency_p50_us > t.latency_p95_us || t.latency_p95_us > t.latency_max_us)
        verdict.fail("latency p50 <= p95 <= max", latencies);
    if (t.path == OLM_VOUT_PATH_PUT_IMAGE && (t.refresh_period_us || t.missed_refreshes))
        verdict.fail("refresh period and missed refreshes 0 on the PutImage path",
                     std::to_string(t.refresh_period_us) + " us, " +
                         std::to_string(t.missed_refreshes) + " missed");
    else if (t.path > OLM_VOUT_PATH_PRESENT)
        verdict.fail("path 0 or 1", std::to_string(t.path));
    if (t.latency_max_us == 0)
        verdict.warn("latencies all 0 after 10 pictures reached the screen");
    else if (t.latency_p95_us > 100000)
        verdict.warn("95% of pictures took up to " + std::to_string(t.latency_p95_us / 1000) +
                     " ms from put to screen");
    if (t.path == OLM_VOUT_PATH_PRESENT && t.refresh_period_us == 0)
        verdict.warn("no refresh period known after 10 presentations");
    return verdict;
}

// The output's presentations once the last picture put (at lastPut) has its record: completion
// may be reported a little after the picture shows. Ends the check when none comes.
uint32_t presentationsAfter(CheckContext& ctx, olm_vout_t* vout, uint64_t lastPut,
                            olm_vout_presentation (&records)[256]) {
    const auto end = Clock::now() + std::chrono::milliseconds(ctx.scaled(kWaitMs));
    for (;;) {
        uint32_t count = 0;
        const int code = ctx.api.getPresentations(vout, records, 256, &count);
        if (code != OLM_VOUT_OK)
            stopFailed("olm_vout_get_presentations to return " + codeName(OLM_VOUT_OK),
                       codeName(code));
        if (count > 256)
            stopFailed("at most 256 records for capacity 256", std::to_string(count));
        if (count > 0 && records[count - 1].screen_us >= lastPut)
            return count;
        if (Clock::now() > end)
            stopFailed("a presentation at or after the last put (" + std::to_string(lastPut) +
                           " us), the picture being on screen",
                       count
                           ? "the newest at " + std::to_string(records[count - 1].screen_us) + " us"
                           : std::string("no presentation"));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

Verdict presentationRecords(CheckContext& ctx) {
    Scene s(ctx);
    const xcb_window_t host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    Verdict verdict;
    olm_vout_presentation records[256];
    uint32_t count = 99;
    expectCode(verdict, "olm_vout_get_presentations on a new output",
               ctx.api.getPresentations(vout, records, 256, &count), OLM_VOUT_OK);
    if (count != 0)
        verdict.fail("no presentations on a new output", std::to_string(count));
    std::vector<uint64_t> putTimes;
    showPictures(s, verdict, vout, host, 6, &putTimes);
    count = presentationsAfter(ctx, vout, putTimes.back(), records);
    for (uint32_t i = 1; i < count; ++i)
        if (records[i].screen_us < records[i - 1].screen_us)
            verdict.fail("presentations oldest first",
                         "record " + std::to_string(i) + " earlier than the one before");
    if (ctx.api.getStats) {
        olm_vout_stats stats{};
        ctx.api.getStats(vout, &stats);
        if (count > stats.presented)
            verdict.fail("no more presentations than pictures presented (" +
                             std::to_string(stats.presented) + ")",
                         std::to_string(count));
    }
    // A smaller buffer gets the most recent ones.
    olm_vout_presentation recent[3];
    uint32_t recentCount = 0;
    expectCode(verdict, "olm_vout_get_presentations with capacity 3",
               ctx.api.getPresentations(vout, recent, 3, &recentCount), OLM_VOUT_OK);
    const uint32_t want = std::min(count, 3u);
    if (recentCount != want)
        verdict.fail(std::to_string(want) + " records for capacity 3", std::to_string(recentCount));
    else if (std::memcmp(recent, records + count - want, want * sizeof recent[0]) != 0)
        verdict.fail("the " + std::to_string(want) + " most recent records for capacity 3",
                     "other records");
    uint32_t none = 99;
    expectCode(verdict, "olm_vout_get_presentations with capacity 0",
               ctx.api.getPresentations(vout, records, 0, &none), OLM_VOUT_OK);
    if (none != 0)
        verdict.fail("count 0 for capacity 0", std::to_string(none));
    expectCode(verdict, "olm_vout_get_presentations with NULL records",
               ctx.api.getPresentations(vout, nullptr, 4, &count), OLM_VOUT_E_HANDLE);
    expectCode(verdict, "olm_vout_get_presentations with a NULL count",
               ctx.api.getPresentations(vout, records, 4, nullptr), OLM_VOUT_E_HANDLE);
    expectCode(verdict, "olm_vout_get_presentations on a destroyed handle",
               ctx.api.getPresentations(staleHandle(s), records, 4, &count), OLM_VOUT_E_HANDLE);
    return verdict;
}

Verdict neverBeforePut(CheckContext& ctx) {
    Scene s(ctx);
    const xcb_window_t host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    Verdict verdict;
    std::vector<uint64_t> putTimes;
    showPictures(s, verdict, vout, host, 6, &putTimes);
    olm_vout_presentation records[256];
    const uint32_t count = presentationsAfter(ctx, vout, putTimes.back(), records);
    const uint64_t now = monotonicMicroseconds();
    for (uint32_t i = 0; i < count; ++i) {
        const auto& r = records[i];
        const std::string which =
            "record " + std::to_string(i + 1) + " of " + std::to_string(count);
        if (r.screen_us > now)
            verdict.fail(which + " on screen before " + std::to_string(now) + " us (now)",
                         std::to_string(r.screen_us) + " us");
        else if (r.screen_us < r.latency_us || r.screen_us - r.latency_us < putTimes.front())
            verdict.fail(which + " put no earlier than the first put at " +
                             std::to_string(putTimes.front()) + " us",
                         "on screen at " + std::to_string(r.screen_us) + " us after " +
                             std::to_string(r.latency_us) + " us");
    }
    return verdict;
}

} // namespace

void addExtCounterChecks(std::vector<Check>& checks) {
    const std::vector<std::string> stats{"olm_vout_get_stats"}, timing{"olm_vout_get_timing"},
        presentations{"olm_vout_get_presentations"};
    checks.insert(
        checks.end(),
        {
            {.name = "ext.get_stats.counters",
             .promise = "counters start at 0 and never go back, put counts the accepted pictures, "
                        "and once idle put = presented + dropped",
             .run = countersAddUp,
             .needs = stats,
             .readsScreen = true},
            {.name = "ext.get_stats.arguments",
             .promise = "NULL stats or a destroyed handle give OLM_VOUT_E_HANDLE",
             .run = statsArguments,
             .needs = stats},
            {.name = "ext.get_timing.record",
             .promise =
                 "struct_size below 8 gives OLM_VOUT_E_INVALID and writes nothing; shorter records "
                 "are filled only as far as they reach; latencies 0 before the first picture",
             .run = timingRecordSizes,
             .needs = timing},
            {.name = "ext.get_timing.values",
             .promise = "after pictures reach the screen, latency p50 <= p95 <= max, and the "
                        "refresh fields are 0 on the PutImage path",
             .run = timingValues,
             .needs = timing,
             .readsScreen = true,
             .deadlineMs = 30000},
            {.name = "ext.get_presentations.records",
             .promise = "records come oldest first, the most recent ones for a small capacity, no "
                        "more than the pictures presented; NULL arguments give OLM_VOUT_E_HANDLE",
             .run = presentationRecords,
             .needs = presentations,
             .readsScreen = true,
             .deadlineMs = 20000},
            {.name = "ext.get_presentations.after_put",
             .promise = "no picture is on screen before its put, nor after the moment of asking",
             .run = neverBeforePut,
             .needs = presentations,
             .readsScreen = true,
             .deadlineMs = 20000},
        });
}
