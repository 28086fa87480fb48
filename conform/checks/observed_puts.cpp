#include "checks/observed_puts.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

ObservedPuts showObserved(Scene& s, Verdict& verdict, olm_vout_t* vout, HostId host, int count,
                          int width, int height) {
    ObservedPuts observed;
    // A large picture put right before every other one keeps the output busy when that one
    // comes: its latency must still count from its own put call, not from when it was taken.
    const YuvPicture large = flatPicture(1920, 1080, qRgb(128, 128, 128));
    for (int i = 0; i < count; ++i) {
        const QRgb colour = i % 2 ? kSky : kAmber;
        const YuvPicture picture = flatPicture(width, height, colour);
        s.mark(host);
        if (i % 2) {
            PutWindow before;
            before.beforeUs = monotonicMicroseconds();
            const int code = s.api.putBufferPoolYuv(vout, large.plane(0), large.plane(1),
                                                    large.plane(2), 1920, 1920, 1080);
            before.afterUs = monotonicMicroseconds();
            if (code == OLM_VOUT_OK) {
                ++observed.accepted;
                observed.puts.push_back(before);
            }
        }
        PutWindow window;
        window.beforeUs = monotonicMicroseconds();
        const int code = s.api.putBufferPoolYuv(vout, picture.plane(0), picture.plane(1),
                                                picture.plane(2), picture.stride(0), width, height);
        window.afterUs = monotonicMicroseconds();
        if (code != OLM_VOUT_OK) {
            expectCode(verdict, "olm_vout_put_buffer_pool_yuv", code, OLM_VOUT_OK);
            continue;
        }
        ++observed.accepted;
        const auto seen =
            s.waitFor(host, [colour](const QImage& shot) { return centreShows(shot, colour); });
        if (seen.arrived) {
            window.seenUs = monotonicMicroseconds();
            ++observed.seen;
        }
        s.expectArrived(verdict, seen, colour,
                        "the window, picture " + std::to_string(i + 1) + ",");
        observed.puts.push_back(window);
    }
    return observed;
}

std::vector<olm_vout_presentation> presentationsOf(CheckContext& ctx, olm_vout_t* vout,
                                                   const ObservedPuts* observed) {
    std::vector<olm_vout_presentation> records(256);
    const auto end = Clock::now() + std::chrono::milliseconds(ctx.scaled(kWaitMs));
    for (;;) {
        uint32_t count = 0;
        if (ctx.api.getPresentations(vout, records.data(), 256, &count) != OLM_VOUT_OK)
            count = 0;
        records.resize(std::min<uint32_t>(count, 256));
        const bool complete =
            !observed || observed->puts.empty() ||
            (!records.empty() && records.back().screen_us >= observed->puts.back().beforeUs);
        if (complete || Clock::now() > end)
            return records;
        records.resize(256);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

uint32_t expectedPath(const Scene& s) {
    if (s.onWayland())
        return s.offersTimedPath() ? OLM_VOUT_PATH_WAYLAND_PRESENTATION
                                   : OLM_VOUT_PATH_WAYLAND_FRAME;
    return s.offersTimedPath() ? OLM_VOUT_PATH_PRESENT : OLM_VOUT_PATH_PUT_IMAGE;
}

std::string whyExpectedPath(const Scene& s) {
    if (s.onWayland()) {
        if (environmentFlag("OLM_VOUT_NO_PRESENTATION"))
            return "OLM_VOUT_NO_PRESENTATION=1 is set";
        return s.offersTimedPath() ? "the compositor offers presentation feedback"
                                   : "the compositor offers no presentation feedback";
    }
    if (environmentFlag("OLM_VOUT_NO_PRESENT"))
        return "OLM_VOUT_NO_PRESENT=1 is set";
    return s.offersTimedPath() ? "the server offers X Present" : "the server has no X Present";
}

uint32_t reportedPath(Scene& s, olm_vout_t* vout) {
    olm_vout_timing timing{};
    timing.struct_size = sizeof timing;
    if (s.ctx.api.getTiming && s.ctx.api.getTiming(vout, &timing) == OLM_VOUT_OK)
        return timing.path;
    return expectedPath(s);
}

Verdict judgeReportedPath(Scene& s, olm_vout_t* vout) {
    Verdict verdict;
    const uint32_t want = expectedPath(s), got = reportedPath(s, vout);
    if (got != want)
        verdict.failBecause(whyExpectedPath(s) + "; the library reports " + pathName(got) +
                            " where the header asks for " + pathName(want));
    return verdict;
}

Verdict judgeObservedFigures(Scene& s, olm_vout_t* vout, HostId host,
                             const ObservedPuts& observed) {
    CheckContext& ctx = s.ctx;
    Verdict verdict;
    olm_vout_stats stats{};
    if (ctx.api.getStats) {
        const auto end = Clock::now() + std::chrono::milliseconds(ctx.scaled(kWaitMs));
        do {
            ctx.api.getStats(vout, &stats);
            if (stats.put == stats.presented + stats.dropped)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (Clock::now() < end);
    }
    std::vector<olm_vout_presentation> records;
    if (ctx.api.getPresentations) {
        records = presentationsOf(ctx, vout, &observed);
        verdict.merge(judgePresentations(records, reportedPath(s, vout), observed.puts,
                                         monotonicMicroseconds()));
        if (ctx.api.getStats)
            verdict.merge(judgeCounters(stats, observed.accepted, observed.seen, records.size()));
    }
    if (ctx.api.getTiming && ctx.api.getPresentations) {
        olm_vout_timing timing{};
        timing.struct_size = sizeof timing;
        expectCode(verdict, "olm_vout_get_timing", ctx.api.getTiming(vout, &timing), OLM_VOUT_OK);
        const uint32_t period = isTimedPath(timing.path) ? s.refreshPeriodUs(host) : 0;
        verdict.merge(judgeTiming(timing, records, period));
    }
    return verdict;
}
