// olm_vout on Wayland beside X11: the same 1080p file played at 25 pictures a second (every
// picture has a refresh of its own on both 60 Hz screens) into a 784x441 output, on a private
// Xvfb through X Present and on a private headless Weston, by reference and copied. The library's
// CPU per picture shown is what the process spends beyond decoding (a decode-only run beside
// them), over the pictures that reached the screen. Needs DISPLAY and WAYLAND_DISPLAY both.

#include "bench_media.h"
#include "bench_util.h"
#include "olm_vout.h"
#include "playback_thread.h"
#include "shared_state.h"
#include "wayland_host.h"
#include "xhelpers.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double kSeconds = 4.0;
constexpr int kIntervalMs = 40;

struct Run {
    long pictures = 0;
    double cpuMs = 0;
    olm_vout_stats stats{};
};

// Plays the file paced for kSeconds into vout (null: decode only).
Run play(const std::string& path, olm_vout_t* vout, bool byReference) {
    setCurrentVout(vout);
    PlaybackOptions options;
    options.present = vout != nullptr;
    options.byReference = byReference;
    g_frameIntervalMs = kIntervalMs;
    g_stopPlayback = false;
    Run run;
    const double cpu = bench::processCpuMs();
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
    setCurrentVout(nullptr);
    return run;
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
    for (bool byReference : {true, false}) {
        std::vector<double> x11Cpu, waylandCpu, ratio, shown, accounted;
        for (int round = 0; round < 3; ++round) {
            const Run decoded = play(path, nullptr, byReference);
            const double decodeCpu = decoded.cpuMs / double(decoded.pictures);
            auto libraryCpu = [&](const Run& r) {
                return r.stats.presented
                           ? (r.cpuMs - decodeCpu * double(r.pictures)) / double(r.stats.presented)
                           : 0.0;
            };
            olm_vout_t* x11 = bench::createOutput(window);
            const Run onX11 = play(path, x11, byReference);
            olm_vout_destroy(&x11);
            olm_vout_t* wayland = waylandOutput(host);
            const Run onWayland = play(path, wayland, byReference);
            olm_vout_destroy(&wayland);
            x11Cpu.push_back(libraryCpu(onX11));
            waylandCpu.push_back(libraryCpu(onWayland));
            ratio.push_back(waylandCpu.back() / x11Cpu.back());
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
        bench::row("Wayland: pictures shown, " + how, bench::percentile(shown, 50), "%", ">= 98");
        bench::row("Wayland: (presented + dropped) / put once idle, " + how,
                   bench::percentile(accounted, 50), "%", ">= 100");
    }
    destroyPlainWindow(window);
    return bench::finish();
}
