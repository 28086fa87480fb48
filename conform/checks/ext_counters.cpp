// ext.get_stats, ext.get_timing, ext.get_presentations: the library's own figures, each
// cross-checked against what the tester observes itself (judge/figure_judges.h): its clock
// around every put, the pictures it saw on screen, the refresh the server reports, and the path
// the server offers. A figure the header promises that is zero or absent is a failure.

#include "checks/observed_puts.h"
#include "checks/registry.h"
#include "checks/scene.h"
#include "judge/figure_judges.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWidth = 320, kHeight = 180;

// A destroyed output's handle, for the E_HANDLE cases.
olm_vout_t* staleHandle(Scene& s) {
    olm_vout_t* vout = s.requireOutput(s.host(64, 48));
    olm_vout_t* const stale = vout;
    s.ctx.destroy(&vout);
    return stale;
}

std::string statsText(const olm_vout_stats& s) {
    return "put " + std::to_string(s.put) + ", presented " + std::to_string(s.presented) +
           ", dropped " + std::to_string(s.dropped);
}

// A burst of puts, so that some pictures are superseded, then idle: the counters against the
// puts accepted, the presentation records and the last picture seen on screen; then redraws,
// which count as nothing.
Verdict countersAddUp(CheckContext& ctx) {
    Scene s(ctx);
    const HostId host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    Verdict verdict;
    olm_vout_stats last{};
    auto sample = [&](const std::string& when) {
        olm_vout_stats now{};
        expectCode(verdict, "olm_vout_get_stats " + when, ctx.api.getStats(vout, &now),
                   OLM_VOUT_OK);
        if (now.put < last.put || now.presented < last.presented || now.dropped < last.dropped)
            verdict.failBecause("counters went back " + when + ": " + statsText(last) + ", then " +
                                statsText(now));
        last = now;
        return now;
    };
    const olm_vout_stats fresh = sample("on a new output");
    if (fresh.put || fresh.presented || fresh.dropped)
        verdict.fail("all counters 0 on a new output", statsText(fresh));
    uint64_t accepted = 0;
    const YuvPicture pictures[2] = {flatPicture(kWidth, kHeight, kAmber),
                                    flatPicture(kWidth, kHeight, kSky)};
    for (int i = 0; i < 30; ++i) {
        accepted += s.put(vout, pictures[i % 2]) == OLM_VOUT_OK;
        sample("during a burst of puts");
    }
    s.expectArrived(verdict,
                    s.waitFor(host, [](const QImage& shot) { return centreShows(shot, kSky); }),
                    kSky, "the window, after the burst,");
    const auto end = Clock::now() + std::chrono::milliseconds(ctx.scaled(3000));
    while (sample("while settling").put != last.presented + last.dropped && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (last.presented == 0)
        verdict.failBecause("presented is 0 with a picture on screen (" + statsText(last) + ")");
    const auto recorded = [&] {
        return ctx.api.getPresentations ? presentationsOf(ctx, vout).size()
                                        : size_t(last.presented);
    };
    const size_t records = recorded();
    verdict.merge(judgeCounters(last, accepted, 1, records));
    // Redraws of the picture shown are no new pictures: after mode changes, each redrawn at
    // once, no counter moves and no presentation is recorded.
    const olm_vout_stats settled = last;
    for (int mode : {VOUT_16_9, VOUT_4_3, VOUT_NORMAL}) {
        s.requireMode(vout, mode);
        const RectF rect = expectedPlacement(mode, kWidth, kHeight, 0, 0, kWidth, kHeight);
        s.judgeAndRecord(verdict, s.waitForPlacement(host, rect, kSky).image, rect, kSky,
                         "redrawn for a mode change");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ctx.scaled(300)));
    sample("after the redraws");
    if (last.put != settled.put || last.presented != settled.presented ||
        last.dropped != settled.dropped)
        verdict.failBecause("redraws for mode changes moved the counters: " +
                            statsText(settled) + ", then " + statsText(last));
    else if (const size_t after = recorded(); after != records)
        verdict.failBecause("redraws for mode changes were recorded as presentations: " +
                            std::to_string(records) + " records, then " + std::to_string(after));
    return verdict;
}

// A window covered only in part is not hidden: each picture shows in the part left visible and
// counts as presented.
Verdict partlyCoveredShown(Scene& s) {
    Verdict verdict;
    const HostId host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    s.expectArrived(verdict, s.showFlat(vout, host, kWidth, kHeight, kAmber), kAmber, "the window");
    const xcb_window_t cover = s.cover(host, kWidth / 2, -10, kWidth, kHeight + 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(s.ctx.scaled(100)));
    olm_vout_stats before{}, after{};
    s.ctx.api.getStats(vout, &before);
    // The visible left half, where the centre sample of waitFor falls on a capture of it.
    const auto leftShows = [](QRgb colour) {
        return [colour](const QImage& shot) {
            return centreShows(shot.copy(0, 0, kWidth / 4, kHeight), colour);
        };
    };
    for (QRgb colour : {kSky, kAmber, kSky}) {
        s.requirePut(vout, flatPicture(kWidth, kHeight, colour));
        const Scene::Seen seen = s.waitFor(host, leftShows(colour));
        if (!seen.arrived) {
            verdict.fail("each picture shown in the visible half of a window covered in part",
                         "the picture before it still shown");
            break;
        }
    }
    const auto end = Clock::now() + std::chrono::milliseconds(s.ctx.scaled(2000));
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        s.ctx.api.getStats(vout, &after);
    } while (after.presented < before.presented + 1 && Clock::now() < end);
    if (after.presented == before.presented)
        verdict.failBecause("pictures put while the window was covered only in part were not "
                            "counted as presented: " + statsText(before) + ", then " +
                            statsText(after));
    s.uncover(host, cover);
    return verdict;
}

// Pictures put while the window is unmapped, its parent is (a minimised top level), or it is
// fully covered by another window, are never drawn: presented does not grow, they count as
// dropped, and the last of them shows once the window is visible again.
Verdict hiddenPicturesDropped(CheckContext& ctx) {
    Scene s(ctx);
    Verdict verdict;
    enum class Hiding { Unmapped, ParentUnmapped, Covered };
    for (Hiding hiding : {Hiding::Unmapped, Hiding::ParentUnmapped, Hiding::Covered}) {
        // On Wayland a subsurface's parent is the whole surface, which the first round hid, and
        // the compositor keeps every surface's contents, so covering hides nothing.
        if (hiding != Hiding::Unmapped && s.onWayland())
            break;
        const bool parentUnmapped = hiding == Hiding::ParentUnmapped;
        const HostId top = s.host(kWidth + 20, kHeight + 20);
        const HostId host =
            parentUnmapped ? createChildWindow(s.x, top, 10, 10, kWidth, kHeight) : top;
        if (!host)
            stopCheck(Result::Unresolved, "a window inside the host could not be made");
        const HostId hidden = top; // unmapped: the host itself, or the host's parent
        const std::string how = hiding == Hiding::Covered ? "it was fully covered"
                                : parentUnmapped          ? "its parent was unmapped"
                                                          : "it was unmapped";
        olm_vout_t* vout = s.requireOutput(host);
        s.expectArrived(verdict, s.showFlat(vout, host, kWidth, kHeight, kAmber), kAmber,
                        "the window");
        xcb_window_t cover = 0;
        if (hiding == Hiding::Covered)
            cover = s.cover(host, -10, -10, kWidth + 40, kHeight + 40);
        else
            s.setHostMapped(hidden, false);
        // A Wayland output learns it is hidden only from frames that stop coming, for a second.
        std::this_thread::sleep_for(
            std::chrono::milliseconds(ctx.scaled(s.onWayland() ? 1500 : 100)));
        olm_vout_stats before{}, during{}, after{};
        ctx.api.getStats(vout, &before);
        for (int i = 0; i < 5; ++i) {
            s.requirePut(vout, flatPicture(kWidth, kHeight, i % 2 ? kAmber : kSky));
            std::this_thread::sleep_for(std::chrono::milliseconds(ctx.scaled(40)));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(ctx.scaled(200)));
        ctx.api.getStats(vout, &during);
        if (during.presented != before.presented)
            verdict.failBecause("pictures put while " + how + " were counted as presented: " +
                                statsText(before) + ", then " + statsText(during));
        if (cover)
            s.uncover(host, cover);
        else
            s.setHostMapped(hidden, true);
        s.expectArrived(
            verdict, s.waitFor(host, [](const QImage& shot) { return centreShows(shot, kSky); }),
            kSky, "the window, visible again, with the last picture put while " + how + ",");
        const auto end = Clock::now() + std::chrono::milliseconds(ctx.scaled(2000));
        do {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ctx.api.getStats(vout, &after);
        } while (after.put != after.presented + after.dropped && Clock::now() < end);
        if (after.put != after.presented + after.dropped || after.put != before.put + 5)
            verdict.failBecause(statsText(after) + " once idle after 5 pictures put while " + how +
                                " (before them: " + statsText(before) + ")");
        // Once visible again the last picture shows. On Wayland so may the first put while hidden:
        // it went to the compositor before the output could tell that no frame would come.
        else if (after.presented > before.presented + (s.onWayland() ? 2 : 1))
            verdict.failBecause(std::to_string(after.presented - before.presented) +
                                " pictures put while " + how + " counted as presented");
        ctx.destroy(&vout);
        s.retire(top);
        if (verdict.failed())
            break;
    }
    if (!verdict.failed() && !s.onWayland())
        verdict.merge(partlyCoveredShown(s));
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
        // Before any picture the path is already the platform's: 0 or 1 on X11, 2 or 3 on
        // Wayland.
        const uint32_t lowest = s.onWayland() ? OLM_VOUT_PATH_WAYLAND_PRESENTATION : 0;
        if (b.timing.path < lowest || b.timing.path > lowest + 1)
            verdict.fail("path " + std::to_string(lowest) + " or " + std::to_string(lowest + 1),
                         std::to_string(b.timing.path));
        if (b.timing.struct_size != size)
            verdict.failBecause("olm_vout_get_timing changed the caller's struct_size from " +
                                std::to_string(size) + " to " +
                                std::to_string(b.timing.struct_size));
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

// A picture on screen, then the path the output reports. The figure checks judge records and
// timing on the reported path and depend on this one, so that a wrong path is named here once.
Verdict reportedPathIsOffered(CheckContext& ctx) {
    Scene s(ctx);
    const HostId host = s.host(160, 90);
    olm_vout_t* vout = s.requireOutput(host);
    Verdict verdict;
    s.expectArrived(verdict, s.showFlat(vout, host, 160, 90, kAmber), kAmber, "the window");
    verdict.merge(judgeReportedPath(s, vout));
    return verdict;
}

// Pictures each seen on screen: the records against the tester's clock around each put and the
// moment it saw the picture, the timing summary against the records, the path against what the
// server offers and the refresh period against the server's own notifications.
Verdict figuresMatchObservations(CheckContext& ctx) {
    Scene s(ctx);
    const HostId host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    Verdict verdict;
    const ObservedPuts observed = showObserved(s, verdict, vout, host, 8, kWidth, kHeight);
    verdict.merge(judgeObservedFigures(s, vout, host, observed));
    return verdict;
}

Verdict presentationRecords(CheckContext& ctx) {
    Scene s(ctx);
    const HostId host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    Verdict verdict;
    olm_vout_presentation records[256];
    uint32_t count = 99;
    expectCode(verdict, "olm_vout_get_presentations on a new output",
               ctx.api.getPresentations(vout, records, 256, &count), OLM_VOUT_OK);
    if (count != 0)
        verdict.fail("no presentations on a new output", std::to_string(count));
    const ObservedPuts observed = showObserved(s, verdict, vout, host, 6, kWidth, kHeight);
    const std::vector<olm_vout_presentation> all = presentationsOf(ctx, vout, &observed);
    verdict.merge(
        judgePresentations(all, reportedPath(s, vout), observed.puts, monotonicMicroseconds()));
    count = uint32_t(all.size());
    // A smaller buffer gets the most recent ones.
    olm_vout_presentation recent[3];
    uint32_t recentCount = 0;
    expectCode(verdict, "olm_vout_get_presentations with capacity 3",
               ctx.api.getPresentations(vout, recent, 3, &recentCount), OLM_VOUT_OK);
    const uint32_t want = std::min(count, 3u);
    if (recentCount != want)
        verdict.fail(std::to_string(want) + " records for capacity 3", std::to_string(recentCount));
    else if (std::memcmp(recent, all.data() + count - want, want * sizeof recent[0]) != 0)
        verdict.failBecause("capacity 3 did not give the 3 most recent records");
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

// More pictures than the history keeps, drawn as they come (OLM_VOUT_NO_PRESENT=1, so that each
// small picture can reach the screen): the last 256 are kept, oldest first, matching presented.
Verdict historyKeeps256(CheckContext& ctx) {
    setenv("OLM_VOUT_NO_PRESENT", "1", 1);
    Scene s(ctx);
    const HostId host = s.host(32, 32);
    olm_vout_t* vout = s.requireOutput(host);
    Verdict verdict;
    uint64_t accepted = 0;
    const YuvPicture pictures[2] = {flatPicture(16, 16, kAmber), flatPicture(16, 16, kSky)};
    const uint64_t startUs = monotonicMicroseconds();
    for (int i = 0; i < 320; ++i) {
        accepted += s.api.putBufferPoolYuv(vout, pictures[i % 2].plane(0), pictures[i % 2].plane(1),
                                           pictures[i % 2].plane(2), 16, 16, 16) == OLM_VOUT_OK;
        // Each picture drawn before the next comes, so that it is not superseded.
        const auto end = Clock::now() + std::chrono::milliseconds(ctx.scaled(100));
        olm_vout_stats stats{};
        do
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        while (ctx.api.getStats(vout, &stats) == OLM_VOUT_OK &&
               stats.put != stats.presented + stats.dropped && Clock::now() < end);
    }
    ObservedPuts observed;
    observed.accepted = accepted;
    observed.seen = 1;
    observed.puts.push_back(PutWindow{startUs, monotonicMicroseconds(), 0});
    s.expectArrived(verdict,
                    s.waitFor(host, [](const QImage& shot) { return centreShows(shot, kSky); }),
                    kSky, "the window after 320 pictures");
    verdict.merge(judgeObservedFigures(s, vout, host, observed));
    olm_vout_stats stats{};
    ctx.api.getStats(vout, &stats);
    const size_t records = presentationsOf(ctx, vout).size();
    if (stats.presented < 256)
        verdict.failBecause("only " + std::to_string(stats.presented) +
                            " of 320 pictures, each "
                            "put once the one before was drawn, reached the screen");
    else if (records != 256)
        verdict.failBecause(std::to_string(records) + " presentation records kept after " +
                            std::to_string(stats.presented) +
                            " pictures reached the screen "
                            "(the last 256 expected)");
    return verdict;
}

} // namespace

void addExtCounterChecks(std::vector<Check>& checks) {
    const std::vector<std::string> stats{"olm_vout_get_stats"}, timing{"olm_vout_get_timing"},
        presentations{"olm_vout_get_presentations"},
        figures{"olm_vout_get_stats", "olm_vout_get_timing", "olm_vout_get_presentations"};
    checks.insert(
        checks.end(),
        {
            {.name = "ext.get_stats.counters",
             .promise = "counters start at 0 and never go back; after a burst, once idle, put is "
                        "the pictures accepted, put = presented + dropped, and presented is the "
                        "presentation records kept; redraws move no counter and add no record",
             .run = countersAddUp,
             .needs = stats,
             .readsScreen = true},
            {.name = "ext.get_stats.hidden",
             .promise = "pictures put while the window, or its parent, is unmapped, or while "
                        "it is fully covered, are not presented but dropped, and the last of "
                        "them shows once it is visible again; covered in part, it is not hidden",
             .run = hiddenPicturesDropped,
             .needs = stats,
             .readsScreen = true},
            {.name = "ext.get_stats.arguments",
             .promise = "NULL stats or a destroyed handle give OLM_VOUT_E_HANDLE",
             .run = statsArguments,
             .needs = stats},
            {.name = "ext.get_timing.record",
             .promise =
                 "struct_size below 8 gives OLM_VOUT_E_INVALID and writes nothing; shorter records "
                 "are filled only as far as they reach, their struct_size left as it was; "
                 "latencies 0 before the first picture",
             .run = timingRecordSizes,
             .needs = timing},
            {.name = "ext.get_timing.path",
             .promise = "the path olm_vout_get_timing reports is the one the header asks for: "
                        "Present where the X server offers it (presentation feedback where the "
                        "compositor does), unless the environment turns it off; else drawing "
                        "into the window (frame callbacks)",
             .run = reportedPathIsOffered,
             .needs = timing,
             .readsScreen = true},
            {.name = "ext.get_timing.values",
             .promise = "latency max, p95 and p50 agree "
                        "with the records and are not 0; the refresh period is the server's on "
                        "the Present path, 0 on the other, and no more refreshes are missed than "
                        "the records' latencies allow; every count matches what was seen",
             .run = figuresMatchObservations,
             .needs = figures,
             .readsScreen = true,
             .deadlineMs = 20000,
             .dependsOn = {"ext.get_timing.path"}},
            {.name = "ext.get_presentations.history",
             .promise = "after more than 256 pictures reached the screen, the last 256 records "
                        "are kept, and they agree with the counters and the timing",
             .run = historyKeeps256,
             .needs = figures,
             .readsScreen = true,
             .dependsOn = {"ext.get_timing.path"}},
            {.name = "ext.get_presentations.records",
             .promise = "records come oldest first, one per refresh, each put at a moment a put "
                        "call was running and on screen no later than the tester saw it; the most "
                        "recent ones for a small capacity; NULL arguments give OLM_VOUT_E_HANDLE",
             .run = presentationRecords,
             .needs = presentations,
             .readsScreen = true,
             .deadlineMs = 20000,
             .dependsOn = {"ext.get_timing.path"}},
        });
}
