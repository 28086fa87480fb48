// olm_vout on Wayland beside X11: the same 1080p file played at 25 pictures a second (every
// picture has a refresh of its own on both 60 Hz screens) into a 784x441 output, on a private
// Xvfb through X Present and on a private headless Weston, by reference and copied. The library's
// CPU per picture shown is what the process spends beyond decoding (a decode-only run beside
// them), over the pictures that reached the screen; with the display server's own CPU added
// (LUMIVAREX_XSERVER_PID, LUMIVAREX_WESTON_PID) it is what a picture costs the machine, as the
// compositor's scaling is work too. Where Debian's mpv is installed, a player that converts every
// picture to the window's size itself is measured the same way, as a reference. Needs DISPLAY and
// WAYLAND_DISPLAY both.

#include "bench_media.h"
#include "bench_util.h"
#include "olm_vout.h"
#include "playback_thread.h"
#include "shared_state.h"
#include "wayland_host.h"
#include "xhelpers.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr double kSeconds = 4.0;
constexpr int kIntervalMs = 40;

struct Run {
    long pictures = 0;
    double cpuMs = 0;
    double serverCpuMs = 0;
    olm_vout_stats stats{};
};

long pidFrom(const char* variable) {
    const char* value = std::getenv(variable);
    return value ? std::atol(value) : 0;
}

// Plays the file paced for kSeconds into vout (null: decode only), the display server (serverPid,
// 0: none) measured beside.
Run play(const std::string& path, olm_vout_t* vout, bool byReference, long serverPid = 0) {
    setCurrentVout(vout);
    PlaybackOptions options;
    options.present = vout != nullptr;
    options.byReference = byReference;
    g_frameIntervalMs = kIntervalMs;
    g_stopPlayback = false;
    Run run;
    const double cpu = bench::processCpuMs();
    const double serverCpu = serverPid ? bench::processCpuMs(serverPid) : 0;
    std::thread player([&] { run.pictures = playFile(path.c_str(), options); });
    std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds));
    g_stopPlayback = true;
    player.join();
    for (int i = 0; vout && i < 400; ++i) { // until the last picture is accounted for
        olm_vout_get_stats(vout, &run.stats);
        if (run.stats.presented + run.stats.dropped >= run.stats.put)
            break;
        bench::sleepMicroseconds(500);
    }
    run.cpuMs = bench::processCpuMs() - cpu;
    run.serverCpuMs = serverPid ? bench::processCpuMs(serverPid) - serverCpu : 0;
    setCurrentVout(nullptr);
    return run;
}

// mpv playing `frames` pictures of the file into a 784x441 window with video output vo: its CPU
// and the display server's per picture, in ms; 0 when mpv is not installed or fails.
double mpvCpuPerPicture(const std::string& path, const char* vo, long serverPid, int frames) {
    std::vector<std::string> args = {"mpv",
                                     "--no-config",
                                     "--really-quiet",
                                     "--no-audio",
                                     "--hwdec=no",
                                     "--vo=" + std::string(vo),
                                     "--geometry=784x441",
                                     "--frames=" + std::to_string(frames),
                                     path};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // The X11 player must not find the compositor, nor the Wayland one the X server.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const bool wayland = std::string(vo) == "wlshm";
        if (entry.rfind(wayland ? "DISPLAY=" : "WAYLAND_DISPLAY=", 0) != 0)
            env.push_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const double serverCpu = bench::processCpuMs(serverPid);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "mpv", &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return 0;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return 0;
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    const double cpu = ms(usage.ru_utime) + ms(usage.ru_stime);
    return (cpu + bench::processCpuMs(serverPid) - serverCpu) / frames;
}

olm_vout_t* waylandOutput(WaylandHost& host) {
    olm_vout_params params{};
    params.pool_depth = 3;
    params.wayland = {OLM_VOUT_PLATFORM_WAYLAND, host.display(), host.surface(), 0, 0, 784, 441};
    olm_vout_t* vout = olm_vout_create(&params);
    host.commit();
    return vout;
}

} // namespace

int main() {
    const std::string path = bench::hdBenchFile();
    WaylandHost host;
    if (path.empty() || !host.ready()) {
        std::fprintf(stderr, "wayland_bench: no benchmark file, or no Wayland compositor\n");
        return 1;
    }
    const uint32_t window = createPlainWindow(784, 441);
    std::fflush(stdout);
    if (!freopen("/dev/null", "w", stderr)) // FFmpeg's description of each file it opens
        return 1;
    bench::header("1920x1080 mpeg4 paced at 40 ms, 784x441 output, 60 Hz screens: X11 (Xvfb, "
                  "Present) beside Wayland (Weston) (medians of three)");
    const long xPid = pidFrom("LUMIVAREX_XSERVER_PID"), westonPid = pidFrom("LUMIVAREX_WESTON_PID");
    double withServers[2][2] = {}; // [by reference][Wayland]: bench + display server
    double decodePerPicture = 0;
    for (bool byReference : {true, false}) {
        std::vector<double> x11Cpu, waylandCpu, ratio, shown, accounted, x11All, waylandAll,
            allRatio;
        for (int round = 0; round < 3; ++round) {
            const Run decoded = play(path, nullptr, byReference);
            const double decodeCpu = decoded.cpuMs / double(decoded.pictures);
            decodePerPicture = decodeCpu;
            auto libraryCpu = [&](const Run& r) {
                return r.stats.presented
                           ? (r.cpuMs - decodeCpu * double(r.pictures)) / double(r.stats.presented)
                           : 0.0;
            };
            auto allCpu = [&](const Run& r) {
                return r.stats.presented ? libraryCpu(r) + r.serverCpuMs / double(r.stats.presented)
                                         : 0.0;
            };
            olm_vout_t* x11 = bench::createOutput(window);
            const Run onX11 = play(path, x11, byReference, xPid);
            olm_vout_destroy(&x11);
            olm_vout_t* wayland = waylandOutput(host);
            const Run onWayland = play(path, wayland, byReference, westonPid);
            olm_vout_destroy(&wayland);
            x11Cpu.push_back(libraryCpu(onX11));
            waylandCpu.push_back(libraryCpu(onWayland));
            ratio.push_back(waylandCpu.back() / x11Cpu.back());
            x11All.push_back(allCpu(onX11));
            waylandAll.push_back(allCpu(onWayland));
            allRatio.push_back(waylandAll.back() / x11All.back());
            const olm_vout_stats& s = onWayland.stats;
            shown.push_back(s.put ? 100.0 * double(s.presented) / double(s.put) : 0);
            accounted.push_back(s.put ? 100.0 * double(s.presented + s.dropped) / double(s.put)
                                      : 0);
        }
        const std::string how = byReference ? "by reference" : "copying";
        bench::row("X11: library CPU per picture shown, " + how, bench::percentile(x11Cpu, 50),
                   "ms", "");
        bench::row("Wayland: library CPU per picture shown, " + how,
                   bench::percentile(waylandCpu, 50), "ms", "");
        bench::row("Wayland / X11, " + how, bench::percentile(ratio, 50), "", "<= 1");
        if (xPid && westonPid) {
            withServers[byReference][0] = bench::percentile(x11All, 50);
            withServers[byReference][1] = bench::percentile(waylandAll, 50);
            bench::row("X11: library + Xvfb CPU per picture shown, " + how,
                       withServers[byReference][0], "ms", "");
            bench::row("Wayland: library + Weston CPU per picture shown, " + how,
                       withServers[byReference][1], "ms", "");
            bench::row("Wayland / X11 with the display servers, " + how,
                       bench::percentile(allRatio, 50), "", "<= 1");
        }
        bench::row("Wayland: pictures shown, " + how, bench::percentile(shown, 50), "%", ">= 98");
        bench::row("Wayland: (presented + dropped) / put once idle, " + how,
                   bench::percentile(accounted, 50), "%", ">= 100");
    }
    // The reference: a player converting to the window's size itself, less the same decoding.
    if (xPid && westonPid) {
        constexpr int kFrames = 100;
        for (bool wayland : {false, true}) {
            const double mpv = mpvCpuPerPicture(path, wayland ? "wlshm" : "x11",
                                                wayland ? westonPid : xPid, kFrames);
            const std::string name = wayland ? "mpv --vo=wlshm on Weston" : "mpv --vo=x11 on Xvfb";
            if (mpv <= 0) {
                std::printf("%s: not measured (mpv not installed, or it failed)\n", name.c_str());
                continue;
            }
            const double reference = mpv - decodePerPicture;
            bench::row(name + ": CPU per picture beyond decoding, with the server", reference, "ms",
                       "");
            const double ours = std::max(withServers[0][wayland], withServers[1][wayland]);
            bench::row(std::string(wayland ? "Wayland" : "X11") +
                           ": library + server against that player",
                       ours / reference, "", "<= 0.5");
        }
    }
    destroyPlainWindow(window);
    return bench::finish();
}
