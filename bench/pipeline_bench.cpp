// The playback pipeline unpaced: decode only, then decode and present into a 784x441 output, on
// generated 1920x1080 and 640x480 mpeg4 files.

#include "bench_util.h"
#include "media.h"
#include "olm_vout.h"
#include "playback_thread.h"
#include "shared_state.h"
#include "xhelpers.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

struct Run {
    double picturesPerSecond;
    double cpuMsPerPicture; // whole process, per picture decoded (decode only) or shown
    long pictures;
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
    if (present) {
        // Let the last picture reach the screen before counting.
        for (int i = 0; i < 200; ++i) {
            olm_vout_get_stats(currentVout(), &after);
            if (after.presented + after.dropped >= after.put)
                break;
            bench::sleepMicroseconds(500);
        }
    }
    const double elapsed = bench::msSince(start);
    const double cpuUsed = bench::processCpuMs() - cpu;
    const double shown = present ? double(after.presented - before.presented) : double(pictures);
    return {pictures * 1000.0 / elapsed, shown > 0 ? cpuUsed / shown : 0, pictures};
}

Run medianBy(std::vector<Run> runs, double Run::*field) {
    std::sort(runs.begin(), runs.end(),
              [field](const Run& a, const Run& b) { return a.*field < b.*field; });
    return runs[runs.size() / 2];
}

// Decode-only and decode-plus-present runs alternate, five of each, so that a slow spell of this
// shared machine hits both alike; the ratio is the median of the five pairs' ratios.
void measure(const char* label, const std::string& path) {
    std::vector<Run> decodeRuns, presentRuns;
    std::vector<double> ratios;
    for (int i = 0; i < 5; ++i) {
        decodeRuns.push_back(decode(path, false));
        presentRuns.push_back(decode(path, true));
        ratios.push_back(100.0 * presentRuns.back().picturesPerSecond /
                         decodeRuns.back().picturesPerSecond);
    }
    std::sort(ratios.begin(), ratios.end());
    const Run decodeOnly = medianBy(decodeRuns, &Run::picturesPerSecond);
    const Run withOutput = medianBy(presentRuns, &Run::picturesPerSecond);
    char text[96];
    std::snprintf(text, sizeof text, "%s decode only, pictures/s", label);
    bench::row(text, decodeOnly.picturesPerSecond, "1/s", "");
    std::snprintf(text, sizeof text, "%s decode + present 784x441, pictures/s", label);
    bench::row(text, withOutput.picturesPerSecond, "1/s", "");
    std::snprintf(text, sizeof text, "%s decode + present / decode only", label);
    bench::row(text, ratios[2], "%", ">= 95");
    std::snprintf(text, sizeof text, "%s process CPU per picture, decode only", label);
    bench::row(text, medianBy(decodeRuns, &Run::cpuMsPerPicture).cpuMsPerPicture, "ms", "");
    std::snprintf(text, sizeof text, "%s process CPU per picture shown", label);
    bench::row(text, medianBy(presentRuns, &Run::cpuMsPerPicture).cpuMsPerPicture, "ms",
               label[0] == '1' ? "<= 3" : "");
}

// Generated once into the build tree and reused by later runs.
std::string benchMedia(const char* name, const std::string& inputsAndOptions) {
    const std::string path = std::string(LUMIVAREX_BENCH_MEDIA) + "/" + name;
    if (access(path.c_str(), R_OK) == 0)
        return path;
    const std::string made = makeMedia(name, inputsAndOptions);
    return !made.empty() && std::rename(made.c_str(), path.c_str()) == 0 ? path : std::string();
}

} // namespace

int main() {
    const std::string big = benchMedia(
        "bench-1080-20s.avi", "-f lavfi -i testsrc2=s=1920x1080:r=25:d=20 -c:v mpeg4 -q:v 3");
    const std::string small = benchMedia(
        "bench-480-90s.avi", "-f lavfi -i testsrc2=s=640x480:r=25:d=90 -c:v mpeg4 -q:v 3");
    if (big.empty() || small.empty()) {
        std::fprintf(stderr, "could not generate the benchmark files with ffmpeg\n");
        return 1;
    }
    const uint32_t host = createPlainWindow(784, 441);
    olm_vout_params params{};
    params.window = host;
    setCurrentVout(olm_vout_create(&params));
    if (!currentVout())
        return 1;

    // FFmpeg describes each file it opens; keep the table readable.
    std::fflush(stdout);
    if (!freopen("/dev/null", "w", stderr))
        return 1;
    bench::header("playback pipeline, unpaced (medians of five runs)");
    measure("1920x1080 mpeg4,", big);
    measure("640x480 mpeg4,", small);

    olm_vout_destroy(&g_vout);
    destroyPlainWindow(host);
    return 0;
}
