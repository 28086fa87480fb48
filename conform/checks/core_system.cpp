// core.resources: nothing left behind by destroyed or failed outputs, and destroy in time when
// the X server does not answer.

#include "checks/registry.h"
#include "checks/scene.h"
#include "run/private_xvfb.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
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

// The threads of this process once their number has settled (unchanged for 50 ms, looked at for
// a second at most): a thread that was joined is gone from /proc/self/task at once, one that was
// detached stays listed until it ends.
int settledThreads(CheckContext& ctx) {
    const auto end = Clock::now() + std::chrono::milliseconds(ctx.scaled(1000));
    const auto steady = std::chrono::milliseconds(ctx.scaled(50));
    int count = runningThreads();
    auto since = Clock::now();
    while (Clock::now() - since < steady && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (const int now = runningThreads(); now != count) {
            count = now;
            since = Clock::now();
        }
    }
    return count;
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
        // Destroy stops the output's render thread: none of its threads outlives the call.
        if (const int threads = settledThreads(ctx); threads > before.threads) {
            verdict.failBecause(std::to_string(threads - before.threads) +
                                " more threads once destroy had returned than before the "
                                "output was created (" +
                                std::to_string(before.threads) + "), in cycle " +
                                std::to_string(cycle));
            return verdict;
        }
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

// What the library writes on standard error while call runs. The descriptor points at a file of
// the check's own meanwhile; what was written then goes on to the real one, for the report.
template <typename Call> std::string standardErrorDuring(Call call) {
    std::fflush(stderr);
    FILE* file = std::tmpfile();
    const int saved = dup(STDERR_FILENO);
    if (!file || saved < 0 || dup2(fileno(file), STDERR_FILENO) < 0)
        stopCheck(Result::Unresolved, "standard error cannot be captured");
    call();
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string text;
    std::rewind(file);
    char buffer[512];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, n);
    std::fclose(file);
    if (!text.empty() && write(STDERR_FILENO, text.data(), text.size()) < 0) {
        // the report then lacks the line; the verdict does not depend on it
    }
    return text;
}

// Whether text is one line: something, then at most one newline at its end.
bool isOneLine(const std::string& text) {
    const size_t end = text.find('\n');
    return !text.empty() && end != 0 && (end == std::string::npos || end + 1 == text.size());
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
    std::string said;
    for (int i = 0; i < 5; ++i) {
        olm_vout_t* vout = nullptr;
        said = standardErrorDuring([&] { vout = ctx.api.create(&params); });
        if (vout)
            stopFailed(s.onWayland() ? "NULL from olm_vout_create with no wl_surface"
                                     : "NULL from olm_vout_create on an id that names nothing",
                       "a handle");
        if (!isOneLine(said))
            break;
    }
    if (!isOneLine(said))
        verdict.fail("one line on standard error from a create that returned NULL",
                     said.empty() ? std::string("nothing") : "\"" + flatLine(said) + "\"");
    expectBackTo(ctx, verdict, before, "after 5 failed creates");
    if (!s.onWayland() && !childrenOf(s.x, host).empty())
        verdict.fail("no window in the host", std::to_string(childrenOf(s.x, host).size()));
    return verdict;
}

// Stops a process (SIGSTOP) and has it continue when resume() is called or this process ends,
// however it ends: the runner kills a check that overruns by its PID, so a stopped server of the
// check's own would stay stopped, and never take the SIGTERM that ends it with its parent. A
// helper process waits on a pipe that closes with this process and then sends SIGCONT.
class StoppedProcess {
public:
    explicit StoppedProcess(pid_t pid) : pid_(pid) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            stopCheck(Result::Unresolved, "no pipe for the stopped server's helper");
        helper_ = fork();
        if (helper_ == 0) {
            for (int fd = 3; fd < 1024; ++fd)
                if (fd != fds[0])
                    close(fd);
            char byte;
            while (read(fds[0], &byte, 1) < 0 && errno == EINTR) {
            }
            kill(pid_, SIGCONT);
            _exit(0);
        }
        close(fds[0]);
        wake_ = fds[1];
        if (helper_ < 0) {
            close(wake_);
            stopCheck(Result::Unresolved, "no helper process for the stopped server");
        }
        kill(pid_, SIGSTOP);
    }
    ~StoppedProcess() { resume(); }
    StoppedProcess(const StoppedProcess&) = delete;
    StoppedProcess& operator=(const StoppedProcess&) = delete;
    void resume() {
        if (wake_ < 0)
            return;
        close(wake_);
        wake_ = -1;
        waitpid(helper_, nullptr, 0);
    }

private:
    pid_t pid_, helper_ = -1;
    int wake_ = -1;
};

// One destroy, timed: it must return OK (and clear the handle) within the destroy limit, which
// the parent enforces too (a destroy that never returns ends the check as timed out).
void expectDestroyInTime(CheckContext& ctx, Verdict& verdict, olm_vout_t** vout,
                         const std::string& when) {
    const auto start = Clock::now();
    const int code = ctx.destroy(vout);
    const std::chrono::duration<double> took = Clock::now() - start;
    expectCode(verdict, "olm_vout_destroy " + when, code, OLM_VOUT_OK);
    if (took.count() * 1000 > ctx.scaled(kDestroyLimitMs))
        verdict.failBecause("olm_vout_destroy " + when + " took " +
                            std::to_string(took.count()).substr(0, 4) +
                            " s (about a second promised)");
}

// Starts a private X server for a check that stops it (so that stopping it stops no one else),
// and points DISPLAY at it.
void startPrivateServer(CheckContext& ctx, PrivateXvfb& server) {
    if (!server.start(ctx.scaled(10000)))
        stopCheck(Result::Unresolved, "a private Xvfb could not be started: " + server.error());
    setenv("DISPLAY", server.display().c_str(), 1);
}

// On a private X server, so that stopping it stops no one else: an output showing a picture is
// destroyed while the server is stopped (SIGSTOP, as a server that hangs), and another while this
// process, another client than the output, holds a grab of the server.
Verdict destroyWhileUnanswered(CheckContext& ctx) {
    PrivateXvfb server;
    startPrivateServer(ctx, server);
    Verdict verdict;
    Scene s(ctx);
    const HostId host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    s.expectArrived(verdict, s.showFlat(vout, host, kWidth, kHeight, kAmber), kAmber, "the window");
    s.requirePut(vout, flatPicture(kWidth, kHeight, kSky)); // one more on its way
    {
        StoppedProcess stopped(server.pid());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        expectDestroyInTime(ctx, verdict, &vout, "while the X server was stopped");
    }
    olm_vout_t* second = s.requireOutput(host);
    s.expectArrived(verdict, s.showFlat(second, host, kWidth, kHeight, kAmber), kAmber,
                    "the window");
    ServerGrab grab(s.x);
    s.requirePut(second, flatPicture(kWidth, kHeight, kSky));
    expectDestroyInTime(ctx, verdict, &second, "while another client held the X server");
    grab.release();
    return verdict;
}

// The host window destroyed before its output: the output stops drawing, and every call on it
// still works, destroy included, in time. With the counters exported, the pictures put once the
// output has settled after the first put then are never presented: all but perhaps the newest
// (kept for a window that might come back) are counted as dropped. The first put after the host
// went may still be drawn by a library that reads its events only when a picture comes.
Verdict hostDestroyedFirst(CheckContext& ctx) {
    Scene s(ctx);
    const HostId host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    Verdict verdict;
    s.expectArrived(verdict, s.showFlat(vout, host, kWidth, kHeight, kAmber), kAmber, "the window");
    xcb_destroy_window(s.x.get(), host);
    s.x.sync();
    const YuvPicture picture = flatPicture(kWidth, kHeight, kSky);
    const auto putAfter = [&](int count) {
        for (int i = 0; i < count; ++i) {
            expectCode(verdict, "olm_vout_put_buffer_pool_yuv after the host window went",
                       s.put(vout, picture), OLM_VOUT_OK);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    };
    // The counters once every picture put is counted, or the time is up.
    const auto settledStats = [&] {
        olm_vout_stats stats{};
        const auto end = Clock::now() + std::chrono::milliseconds(ctx.scaled(2000));
        do {
            ctx.api.getStats(vout, &stats);
            if (stats.put == stats.presented + stats.dropped)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } while (Clock::now() < end);
        return stats;
    };
    putAfter(1);
    if (ctx.api.getStats) {
        const olm_vout_stats before = settledStats();
        putAfter(5);
        const olm_vout_stats after = settledStats();
        if (after.presented != before.presented)
            verdict.fail("no picture presented once the host window was gone",
                         std::to_string(after.presented - before.presented) + " of 5");
        if (int64_t(after.put) - int64_t(after.presented + after.dropped) > 1)
            verdict.fail("the pictures put once the host window was gone counted as dropped",
                         "put " + std::to_string(after.put) + ", presented " +
                             std::to_string(after.presented) + ", dropped " +
                             std::to_string(after.dropped) + " after 2 s");
    } else {
        putAfter(5);
    }
    int32_t mode = -1;
    expectCode(verdict, "olm_vout_set_display_mode after the host window went",
               ctx.api.setDisplayMode(vout, VOUT_16_9), OLM_VOUT_OK);
    expectCode(verdict, "olm_vout_get_display_mode after the host window went",
               ctx.api.getDisplayMode(vout, &mode), OLM_VOUT_OK);
    if (mode != VOUT_16_9)
        verdict.fail("the mode set after the host window went", std::to_string(mode));
    expectDestroyInTime(ctx, verdict, &vout, "after the host window went");
    return verdict;
}

// The X server stops answering (SIGSTOP) for longer than the second after which an output gives
// up on its answers, while pictures are put: every put still returns at once, and once the server
// answers again the output recovers, the newest picture shows, and once idle every picture put
// is counted once, presented or dropped (a late answer to one given up counts for nothing).
Verdict statsAfterStall(CheckContext& ctx) {
    PrivateXvfb server;
    startPrivateServer(ctx, server);
    Verdict verdict;
    Scene s(ctx);
    const HostId host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    s.expectArrived(verdict, s.showFlat(vout, host, kWidth, kHeight, kAmber), kAmber, "the window");
    olm_vout_stats before{};
    ctx.api.getStats(vout, &before);
    const YuvPicture stalled = flatPicture(kWidth, kHeight, kAmber);
    {
        StoppedProcess stopped(server.pid());
        for (int i = 0; i < 5; ++i) {
            // Straight to the library: the scene's own look at the screen would wait for the
            // stopped server.
            const auto start = Clock::now();
            expectCode(verdict, "olm_vout_put_buffer_pool_yuv while the X server was stopped",
                       ctx.api.putBufferPoolYuv(vout, stalled.plane(0), stalled.plane(1),
                                                stalled.plane(2), stalled.stride(0),
                                                stalled.width(), stalled.height()),
                       OLM_VOUT_OK);
            const auto took = Clock::now() - start;
            if (took > std::chrono::milliseconds(ctx.scaled(100)))
                verdict.fail("put to return at once while the X server was stopped",
                             std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                took)
                                                .count()) +
                                 " ms");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    }
    s.requirePut(vout, flatPicture(kWidth, kHeight, kSky));
    s.expectArrived(verdict,
                    s.waitFor(host, [](const QImage& shot) { return centreShows(shot, kSky); }),
                    kSky, "the window, once the X server answered again,");
    olm_vout_stats after{};
    const auto end = Clock::now() + std::chrono::milliseconds(ctx.scaled(3000));
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ctx.api.getStats(vout, &after);
    } while (after.put != after.presented + after.dropped && Clock::now() < end);
    const auto text = [](const olm_vout_stats& st) {
        return "put " + std::to_string(st.put) + ", presented " + std::to_string(st.presented) +
               ", dropped " + std::to_string(st.dropped);
    };
    if (after.put != before.put + 6 || after.put != after.presented + after.dropped ||
        after.presented <= before.presented)
        verdict.failBecause(text(after) + " once idle after 5 pictures put while the X server "
                            "was stopped and 1 after (before them: " + text(before) +
                            "); put = presented + dropped, with the last one presented");
    return verdict;
}

} // namespace

void addCoreSystemChecks(std::vector<Check>& checks) {
    checks.insert(
        checks.end(),
        {
            {.name = "core.resources.destroy_cycles",
             .promise = "create, put, destroy cycles leave no descriptor, thread or window "
                        "behind, and no thread of an output outlives its destroy",
             .run = destroyCyclesLeaveNothing,
             .readsScreen = true,
             .deadlineMs = 20000},
            {.name = "core.resources.failed_create",
             .promise = "a create that returns NULL leaves no descriptor, thread or window behind",
             .run = failedCreateLeavesNothing},
            {.name = "core.resources.destroy_unanswered",
             .promise = "destroy returns within about a second while the X server has stopped "
                        "answering (SIGSTOP) and while another client holds a grab of it",
             .run = destroyWhileUnanswered,
             .x11Only = "stops and grabs an X server",
             .readsScreen = true,
             .deadlineMs = 20000},
            {.name = "ext.get_stats.server_stalled",
             .promise = "while the X server answers nothing for 1.5 s put returns at once; "
                        "afterwards the newest picture shows, and once idle every picture put is "
                        "counted once, presented or dropped",
             .run = statsAfterStall,
             .x11Only = "stops an X server",
             .needs = {"olm_vout_get_stats"},
             .readsScreen = true,
             .deadlineMs = 20000},
            {.name = "core.resources.host_destroyed_first",
             .promise = "an output whose host window is destroyed first stops drawing (pictures "
                        "put then are not presented but dropped) and its calls still work: put, "
                        "set and get return OLM_VOUT_OK, destroy too, within about a second",
             .run = hostDestroyedFirst,
             .x11Only = "destroys an X window",
             .readsScreen = true},
        });
}
