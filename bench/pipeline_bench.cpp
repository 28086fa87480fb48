// The playback pipeline unpaced: decode only, then decode and present into a 784x441 output, on
// generated 1920x1080 and 640x480 mpeg4 files.

#include "bench_media.h"
#include "bench_util.h"
#include "media.h"
#include "olm_vout.h"
#include "playback_thread.h"
#include "shared_state.h"
#include "xhelpers.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct Run {
    double picturesPerSecond;
    double cpuMsPerPicture; // whole process, per picture decoded (decode only) or shown
    long pictures;
    double cpuMsPerDecoded;
};

Run decode(const std::string& path, bool present) {
    PlaybackOptions options;
    options.pace = false;
    options.present = present;
    options.endAtEnd = true;
    g_stopPlayback = false;
    olm_vout_stats before{}, after{};
    if (present)
        olm_vout_get_stats(currentVout(), &before);
    const double cpu = bench::processCpuMs();
    const auto start = bench::Clock::now();
    const long pictures = playFile(path.c_str(), options);
    // The rate is the decoder's: the last picture's way to the screen (up to a refresh or two
    // on the Present path) is not part of it.
    const double elapsed = bench::msSince(start);
    if (present) {
        // Let the last picture reach the screen before counting.
        for (int i = 0; i < 200; ++i) {
            olm_vout_get_stats(currentVout(), &after);
            if (after.presented + after.dropped >= after.put)
                break;
            bench::sleepMicroseconds(500);
        }
    }
    const double cpuUsed = bench::processCpuMs() - cpu;
    const double shown = present ? double(after.presented - before.presented) : double(pictures);
    return {pictures * 1000.0 / elapsed, shown > 0 ? cpuUsed / shown : 0, pictures,
            pictures > 0 ? cpuUsed / double(pictures) : 0};
}

Run medianBy(std::vector<Run> runs, double Run::*field) {
    std::sort(runs.begin(), runs.end(),
              [field](const Run& a, const Run& b) { return a.*field < b.*field; });
    return runs[runs.size() / 2];
}

// Decode-only and decode-plus-present runs alternate, five of each, so that a slow spell of this
// shared machine hits both alike; the ratio is the median of the five pairs' ratios. On the
// Present path at most one picture per refresh is drawn, so CPU is counted per picture decoded;
// on the PutImage path the render thread draws as many as it can, and CPU is per picture shown.
void measure(const std::string& label, const std::string& path, bool present) {
    std::vector<Run> decodeRuns, presentRuns;
    std::vector<double> ratios;
    for (int i = 0; i < 5; ++i) {
        decodeRuns.push_back(decode(path, false));
        presentRuns.push_back(decode(path, true));
        ratios.push_back(100.0 * presentRuns.back().picturesPerSecond /
                         decodeRuns.back().picturesPerSecond);
    }
    std::sort(ratios.begin(), ratios.end());
    const bool hd = label[0] == '1';
    const std::string how = present ? ", Present" : ", PutImage";
    bench::row(label + " decode only, pictures/s",
               medianBy(decodeRuns, &Run::picturesPerSecond).picturesPerSecond, "1/s", "");
    bench::row(label + " decode + present" + how + ", pictures/s",
               medianBy(presentRuns, &Run::picturesPerSecond).picturesPerSecond, "1/s", "");
    bench::row(label + " decode + present / decode only" + how, ratios[2], "%",
               present ? ">= 95" : "");
    bench::row(label + " process CPU per picture, decode only",
               medianBy(decodeRuns, &Run::cpuMsPerPicture).cpuMsPerPicture, "ms", "");
    if (present) {
        for (Run& r : presentRuns)
            r.cpuMsPerPicture = r.cpuMsPerDecoded;
        bench::row(label + " process CPU per picture decoded" + how,
                   medianBy(presentRuns, &Run::cpuMsPerPicture).cpuMsPerPicture, "ms", "");
    } else {
        bench::row(label + " process CPU per picture shown" + how,
                   medianBy(presentRuns, &Run::cpuMsPerPicture).cpuMsPerPicture, "ms",
                   hd ? "<= 3" : "");
    }
}

void measureOn(bool present, const std::string& big, const std::string& small) {
    const uint32_t host = createPlainWindow(784, 441);
    setCurrentVout(bench::createOutput(host, !present));
    if (currentVout()) {
        measure("1920x1080 mpeg4,", big, present);
        measure("640x480 mpeg4,", small, present);
        olm_vout_destroy(&g_vout);
    }
    destroyPlainWindow(host);
}

} // namespace

int main() {
    const std::string big = bench::hdBenchFile();
    const std::string small = bench::benchMedia(
        "bench-480-90s.avi", "-f lavfi -i testsrc2=s=640x480:r=25:d=90 -c:v mpeg4 -q:v 3");
    if (big.empty() || small.empty()) {
        std::fprintf(stderr, "could not generate the benchmark files with ffmpeg\n");
        return 1;
    }
    // FFmpeg describes each file it opens; keep the table readable.
    std::fflush(stdout);
    if (!freopen("/dev/null", "w", stderr))
        return 1;
    bench::header("playback pipeline, unpaced, 784x441 output (medians of five runs)");
    measureOn(true, big, small);
    measureOn(false, big, small);
    return bench::finish();
}
