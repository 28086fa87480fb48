// core.threads, core.resources: calls from any thread, puts that never wait for the X server,
// and nothing left behind by destroyed or failed outputs.

#include "scene.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWidth = 320, kHeight = 240;

Verdict concurrentPuts(CheckContext& ctx) {
    Scene s(ctx);
    const xcb_window_t host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    const QRgb colours[4] = {kAmber, kSky, qRgb(200, 60, 190), qRgb(40, 200, 60)};
    std::atomic<int> unexpected{0}, lastUnexpected{0}, accepted{0};
    {
        std::vector<std::jthread> putters;
        for (QRgb colour : colours)
            putters.emplace_back([&, colour] {
                const YuvPicture picture = flatPicture(kWidth, kHeight, colour);
                for (int i = 0; i < 25; ++i) {
                    const int code = s.put(vout, picture);
                    if (code == OLM_VOUT_OK)
                        ++accepted;
                    else if (code != OLM_VOUT_E_BUSY) {
                        ++unexpected;
                        lastUnexpected = code;
                    }
                }
            });
    }
    Verdict verdict;
    if (unexpected > 0)
        verdict.fail("puts from four threads at once to return OLM_VOUT_OK or OLM_VOUT_E_BUSY",
                     codeName(lastUnexpected) + " from " + std::to_string(unexpected) + " puts");
    if (accepted == 0)
        verdict.fail("some of 100 concurrent puts accepted", "none");
    // One of their pictures ends on screen, whole; then the output still takes pictures.
    const auto settled = s.waitFor(host, [&](const QImage& shot) {
        for (QRgb c : colours)
            if (centreShows(shot, c))
                return true;
        return false;
    });
    const QRgb centre = settled.image.pixel(kWidth / 2, kHeight / 2);
    QRgb closest = colours[0];
    for (QRgb c : colours)
        if (channelDistance(c, centre) < channelDistance(closest, centre))
            closest = c;
    s.judgeAndRecord(verdict, settled.image, RectF{0, 0, kWidth, kHeight}, closest,
                     "after puts from four threads");
    s.expectArrived(verdict, s.showFlat(vout, host, kWidth, kHeight, qRgb(230, 230, 230)),
                    qRgb(230, 230, 230), "the window, after the concurrent puts,");
    return verdict;
}

Verdict callsFromAnyThread(CheckContext& ctx) {
    Scene s(ctx);
    const xcb_window_t host = s.host(kWidth, kHeight);
    olm_vout_t* vout = nullptr;
    int codes[4] = {-1, -1, -1, -1};
    int32_t mode = -1;
    std::jthread([&] { vout = s.create(host); }).join();
    if (!vout)
        stopFailed("a handle from olm_vout_create on another thread", "NULL");
    std::jthread([&] { codes[0] = ctx.api.setDisplayMode(vout, VOUT_PREFERRED); }).join();
    std::jthread([&] { codes[1] = ctx.api.getDisplayMode(vout, &mode); }).join();
    std::jthread([&] { codes[2] = s.put(vout, flatPicture(160, 90, kSky)); }).join();
    Verdict verdict;
    expectCode(verdict, "olm_vout_set_display_mode on a second thread", codes[0], OLM_VOUT_OK);
    expectCode(verdict, "olm_vout_get_display_mode on a third thread", codes[1], OLM_VOUT_OK);
    if (mode != VOUT_PREFERRED)
        verdict.fail("VOUT_PREFERRED from the third thread", std::to_string(mode));
    expectCode(verdict, "olm_vout_put_buffer_pool_yuv on a fourth thread", codes[2], OLM_VOUT_OK);
    const auto seen = s.waitForPlacement(host, RectF{0, 0, kWidth, kHeight}, kSky);
    s.judgeAndRecord(verdict, seen.image, RectF{0, 0, kWidth, kHeight}, kSky,
                     "VOUT_PREFERRED set and picture put on other threads");
    std::jthread([&] { codes[3] = ctx.destroy(&vout); }).join();
    expectCode(verdict, "olm_vout_destroy on a fifth thread", codes[3], OLM_VOUT_OK);
    if (vout)
        verdict.fail("the handle cleared by a destroy on a fifth thread", "it was not");
    return verdict;
}

// Another client holds the whole server: the output's own requests wait, its puts must not.
Verdict putsWhileServerGrabbed(CheckContext& ctx) {
    Scene s(ctx);
    const xcb_window_t host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host, OLM_VOUT_MIN_POOL_DEPTH);
    Verdict verdict;
    s.expectArrived(verdict, s.showFlat(vout, host, kWidth, kHeight, kAmber), kAmber,
                    "the window before the grab");
    constexpr int kPuts = 12;
    const YuvPicture pictures[2] = {flatPicture(kWidth, kHeight, kSky),
                                    flatPicture(kWidth, kHeight, kAmber)};
    std::atomic<int> done{0}, notOk{0}, lastCode{0};
    std::atomic<long> slowestUs{0};
    ServerGrab grab(s.x);
    std::jthread putter([&] {
        for (int i = 0; i < kPuts; ++i) {
            const auto start = Clock::now();
            const int code = s.put(vout, pictures[(i + 1) % 2]); // the last one is sky
            const long took =
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
            slowestUs = std::max(slowestUs.load(), took);
            if (code != OLM_VOUT_OK) {
                ++notOk;
                lastCode = code;
            }
            ++done;
        }
    });
    const auto end = Clock::now() + std::chrono::milliseconds(ctx.scaled(2000));
    while (done < kPuts && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int finished = done;
    grab.release();
    putter.join();
    if (finished < kPuts)
        stopFailed(std::to_string(kPuts) + " puts to return while another client held the server",
                   "only " + std::to_string(finished) + " returned before the grab ended");
    if (notOk > 0)
        verdict.fail("OLM_VOUT_OK from every put of a lone thread (pool depth 2) while the server "
                     "was held",
                     codeName(lastCode) + " from " + std::to_string(notOk) + " puts");
    if (slowestUs > 50000)
        verdict.warn("a put took " + std::to_string(slowestUs / 1000) +
                     " ms while the server was held");
    s.expectArrived(verdict,
                    s.waitFor(host, [](const QImage& shot) { return centreShows(shot, kSky); }),
                    kSky, "the window, after the grab, with the last picture");
    return verdict;
}

struct Footprint {
    int descriptors, threads;
};

Footprint footprint() {
    return {openDescriptors(), runningThreads()};
}

// Threads of a destroyed output may take a moment to be reaped; wait for the count to return.
void expectBackTo(CheckContext& ctx, Verdict& verdict, const Footprint& before,
                  const std::string& after) {
    const auto end = Clock::now() + std::chrono::milliseconds(ctx.scaled(2000));
    Footprint now = footprint();
    while ((now.descriptors > before.descriptors || now.threads > before.threads) &&
           Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        now = footprint();
    }
    if (now.descriptors > before.descriptors)
        verdict.fail(std::to_string(before.descriptors) + " open descriptors " + after,
                     std::to_string(now.descriptors));
    if (now.threads > before.threads)
        verdict.fail(std::to_string(before.threads) + " threads " + after,
                     std::to_string(now.threads));
}

Verdict destroyCyclesLeaveNothing(CheckContext& ctx) {
    Scene s(ctx);
    const xcb_window_t host = s.host(kWidth, kHeight);
    Verdict verdict;
    // A first cycle, so that what a library sets up once per process is not counted.
    olm_vout_t* vout = s.requireOutput(host);
    ctx.destroy(&vout);
    const Footprint before = footprint();
    for (int cycle = 0; cycle < 5; ++cycle) {
        vout = s.requireOutput(host);
        s.expectArrived(verdict, s.showFlat(vout, host, kWidth, kHeight, cycle % 2 ? kSky : kAmber),
                        cycle % 2 ? kSky : kAmber, "the window in cycle " + std::to_string(cycle));
        expectCode(verdict, "olm_vout_destroy", ctx.destroy(&vout), OLM_VOUT_OK);
    }
    expectBackTo(ctx, verdict, before, "after 5 create, put, destroy cycles");
    const auto end = Clock::now() + std::chrono::milliseconds(ctx.scaled(2000));
    while (!childrenOf(s.x, host).empty() && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (const size_t left = childrenOf(s.x, host).size())
        verdict.fail("no window left in the host after its outputs were destroyed",
                     std::to_string(left));
    return verdict;
}

Verdict failedCreateLeavesNothing(CheckContext& ctx) {
    Scene s(ctx);
    const xcb_window_t host = s.host(kWidth, kHeight);
    olm_vout_params params{};
    params.window = xcb_generate_id(s.x.get()); // names nothing
    Verdict verdict;
    ctx.api.create(&params); // the first attempt may set up what a library keeps per process
    const Footprint before = footprint();
    for (int i = 0; i < 5; ++i)
        if (ctx.api.create(&params))
            stopFailed("NULL from olm_vout_create on an id that names nothing", "a handle");
    expectBackTo(ctx, verdict, before, "after 5 failed creates");
    if (!childrenOf(s.x, host).empty())
        verdict.fail("no window in the host", std::to_string(childrenOf(s.x, host).size()));
    return verdict;
}

} // namespace

void addCoreSystemChecks(std::vector<Check>& checks) {
    checks.insert(
        checks.end(),
        {
            {.name = "core.threads.concurrent_puts",
             .promise = "puts from four threads at once return OK or OLM_VOUT_E_BUSY, one of their "
                        "pictures ends on screen whole, and the output goes on working",
             .run = concurrentPuts,
             .readsScreen = true,
             .deadlineMs = 20000},
            {.name = "core.threads.any_thread",
             .promise = "create, set, get, put and destroy each work from a thread of their own",
             .run = callsFromAnyThread,
             .readsScreen = true},
            {.name = "core.threads.put_while_server_grabbed",
             .promise =
                 "puts return at once, and are accepted, while another client holds the X server",
             .run = putsWhileServerGrabbed,
             .readsScreen = true,
             .deadlineMs = 20000},
            {.name = "core.resources.destroy_cycles",
             .promise = "create, put, destroy cycles leave no descriptor, thread or window behind",
             .run = destroyCyclesLeaveNothing,
             .readsScreen = true,
             .deadlineMs = 20000},
            {.name = "core.resources.failed_create",
             .promise = "a create that returns NULL leaves no descriptor, thread or window behind",
             .run = failedCreateLeavesNothing},
        });
}
