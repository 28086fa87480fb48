// core.resources: nothing left behind by destroyed or failed outputs.

#include "checks/registry.h"
#include "checks/scene.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWidth = 320, kHeight = 240;

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
    const HostId host = s.host(kWidth, kHeight);
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
    if (s.onWayland()) {
        // The outputs' surfaces are gone once the host's own colour shows through again.
        const auto seen =
            s.waitFor(host, [](const QImage& shot) { return centreShows(shot, kHostBackground); });
        if (!seen.arrived)
            verdict.fail("the host's own colour once its outputs were destroyed",
                         rgbText(seen.image.pixel(kWidth / 2, kHeight / 2)) + " at its centre");
        return verdict;
    }
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
    const HostId host = s.host(kWidth, kHeight);
    olm_vout_params params = s.paramsFor(host);
    if (s.onWayland())
        params.wayland.surface = nullptr;
    else
        params.window = xcb_generate_id(s.x.get()); // names nothing
    Verdict verdict;
    ctx.api.create(&params); // the first attempt may set up what a library keeps per process
    const Footprint before = footprint();
    for (int i = 0; i < 5; ++i)
        if (ctx.api.create(&params))
            stopFailed(s.onWayland() ? "NULL from olm_vout_create with no wl_surface"
                                     : "NULL from olm_vout_create on an id that names nothing",
                       "a handle");
    expectBackTo(ctx, verdict, before, "after 5 failed creates");
    if (!s.onWayland() && !childrenOf(s.x, host).empty())
        verdict.fail("no window in the host", std::to_string(childrenOf(s.x, host).size()));
    return verdict;
}

} // namespace

void addCoreSystemChecks(std::vector<Check>& checks) {
    checks.insert(
        checks.end(),
        {
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
