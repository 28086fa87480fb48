// core.threads: puts from several threads at once, of mixed sizes and kinds; a deep pool that
// lets many puts run at once; every function from a thread of its own; puts that never wait for
// the X server.

#include "checks/guarded_planes.h"
#include "checks/observed_puts.h"
#include "checks/registry.h"
#include "checks/scene.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWidth = 320, kHeight = 240;

// One thread's share of the concurrent puts: its colour, the borrowed pictures it uses (once
// each) and what its calls returned.
struct Putter {
    QRgb colour = 0;
    std::vector<int> borrowed{};
    uint64_t ok = 0;
    int unexpected = 0, lastUnexpected = 0;
};

// Four threads put for a while (a second or 400 puts each), in turn copied through either put and
// borrowed, at sizes from a fifth of the window to twice it (4:3 all, so each fills the window);
// then the invariants.
Verdict concurrentPuts(CheckContext& ctx) {
    Scene s(ctx);
    GuardedPictures guarded(ctx);
    const HostId host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    const QRgb colours[4] = {kAmber, kSky, qRgb(200, 60, 190), qRgb(40, 200, 60)};
    const int sizes[4][2] = {{640, 480}, {320, 240}, {160, 120}, {64, 48}};
    const bool withPicture = ctx.api.putPicture != nullptr;
    std::vector<Putter> putters(4);
    for (int t = 0; t < 4; ++t) {
        putters[size_t(t)].colour = colours[t];
        for (int i = 0; withPicture && i < 10; ++i) {
            const int* size = sizes[(t + i) % 4];
            putters[size_t(t)].borrowed.push_back(
                guarded.add(flatPicture(size[0], size[1], colours[t]),
                            "borrowed picture " + std::to_string(i + 1) + " of thread " +
                                std::to_string(t + 1)));
        }
    }
    std::vector<char> accepted(size_t(guarded.size()), 0);
    const uint64_t startedUs = monotonicMicroseconds();
    {
        const auto end = Clock::now() + std::chrono::milliseconds(1000);
        std::vector<std::jthread> threads;
        for (Putter& p : putters)
            threads.emplace_back([&, &p = p] {
                std::vector<YuvPicture> copies;
                for (const auto& size : sizes)
                    copies.push_back(flatPicture(size[0], size[1], p.colour));
                size_t nextBorrowed = 0;
                for (int i = 0; i < 400 && Clock::now() < end; ++i) {
                    const YuvPicture& copy = copies[size_t(i) % 4];
                    int code;
                    if (i % 3 == 2 && nextBorrowed < p.borrowed.size()) {
                        const int index = p.borrowed[nextBorrowed++];
                        const olm_vout_picture r = guarded.record(index);
                        code = ctx.api.putPicture(vout, &r);
                        accepted[size_t(index)] = code == OLM_VOUT_OK; // its own element
                    } else if (i % 3 == 1 && withPicture) {
                        const olm_vout_picture r = copy.record();
                        code = ctx.api.putPicture(vout, &r);
                    } else {
                        code = ctx.api.putBufferPoolYuv(vout, copy.plane(0), copy.plane(1),
                                                        copy.plane(2), copy.stride(0), copy.width(),
                                                        copy.height());
                    }
                    p.ok += code == OLM_VOUT_OK;
                    if (code != OLM_VOUT_OK && code != OLM_VOUT_E_BUSY) {
                        ++p.unexpected;
                        p.lastUnexpected = code;
                    }
                }
            });
    }
    const uint64_t concurrentEndUs = monotonicMicroseconds();
    Verdict verdict;
    uint64_t ok = 0;
    for (const Putter& p : putters) {
        ok += p.ok;
        if (p.unexpected)
            verdict.failBecause("a put from one of four threads at once returned " +
                                codeName(p.lastUnexpected) + " (" + std::to_string(p.unexpected) +
                                " such; only OK or OLM_VOUT_E_BUSY expected)");
    }
    if (ok == 0)
        verdict.failBecause("none of the concurrent puts was accepted");
    // One of their pictures ends on screen, whole.
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
    // A new picture shows, and then the figures add up.
    ObservedPuts observed = showObserved(s, verdict, vout, host, 2, kWidth, kHeight);
    observed.accepted += ok;
    // The concurrent puts' moments are known only together.
    observed.puts.insert(observed.puts.begin(), PutWindow{startedUs, concurrentEndUs, 0});
    if (ctx.api.getStats && ctx.api.getPresentations)
        verdict.merge(judgeObservedFigures(s, vout, host, observed));
    ctx.destroy(&vout);
    guarded.expectReleasedOnce(verdict, std::vector<bool>(accepted.begin(), accepted.end()),
                               "by the time destroy returned");
    return verdict;
}

Verdict callsFromAnyThread(CheckContext& ctx) {
    Scene s(ctx);
    const HostId host = s.host(kWidth, kHeight);
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
    const HostId host = s.host(kWidth, kHeight);
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

// With the deepest pool, six threads copying large pictures at once (each copy long enough for the
// others to start theirs) always find a free buffer: six puts, the picture shown and one waiting
// for the screen are half of sixteen. A library that takes 16 as out of range (the default three)
// or caps the pool lower answers OLM_VOUT_E_BUSY.
Verdict deepPoolTakesManyPuts(CheckContext& ctx) {
    Scene s(ctx);
    olm_vout_t* vout = s.requireOutput(s.host(kWidth, kHeight), OLM_VOUT_MAX_POOL_DEPTH);
    const YuvPicture large = flatPicture(3840, 2160, kAmber);
    constexpr int kThreads = 6, kPutsEach = 8;
    std::atomic<int> busy{0}, other{0}, lastOther{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kPutsEach; ++i) {
                const int code =
                    s.api.putBufferPoolYuv(vout, large.plane(0), large.plane(1), large.plane(2),
                                           large.stride(0), large.width(), large.height());
                if (code == OLM_VOUT_E_BUSY)
                    ++busy;
                else if (code != OLM_VOUT_OK) {
                    ++other;
                    lastOther = code;
                }
            }
        });
    for (std::thread& t : threads)
        t.join();
    Verdict verdict;
    if (busy || other)
        verdict.failBecause(
            std::to_string(busy.load()) + " OLM_VOUT_E_BUSY" +
            (other ? " and " + std::to_string(other.load()) + " other errors (last " +
                         codeName(lastOther.load()) + ")"
                   : std::string()) +
            " in " + std::to_string(kThreads * kPutsEach) + " puts of 3840x2160 from " +
            std::to_string(kThreads) +
            " threads at once with pool_depth 16 (OLM_VOUT_OK expected: at most eight pictures "
            "were held)");
    return verdict;
}

} // namespace

void addCoreThreadChecks(std::vector<Check>& checks) {
    checks.insert(
        checks.end(),
        {
            {.name = "core.threads.concurrent_puts",
             .promise =
                 "four threads putting copied and borrowed pictures of mixed sizes for "
                 "a second get OK or OLM_VOUT_E_BUSY; then one of their pictures shows whole, "
                 "a new one shows, the counters add up and every borrowed picture is "
                 "released once",
             .run = concurrentPuts,
             .readsScreen = true,
             .deadlineMs = 20000,
             .dependsOn = {"ext.get_timing.path"}},
            {.name = "core.threads.deep_pool",
             .promise = "with pool_depth 16, six threads putting 3840x2160 pictures at once are "
                        "never told OLM_VOUT_E_BUSY",
             .run = deepPoolTakesManyPuts,
             .deadlineMs = 30000},
            {.name = "core.threads.any_thread",
             .promise = "create, set, get, put and destroy each work from a thread of their own",
             .run = callsFromAnyThread,
             .readsScreen = true},
            {.name = "core.threads.put_while_server_grabbed",
             .promise =
                 "puts return at once, and are accepted, while another client holds the X server",
             .run = putsWhileServerGrabbed,
             .x11Only = "grabs the X server",
             .readsScreen = true,
             .deadlineMs = 20000},
        });
}
