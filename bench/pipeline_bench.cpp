// The playback pipeline unpaced, on a screen that refreshes faster than any file decodes (so on
// the Present path too every picture has a refresh of its own): decode only, then decode and
// present into a 784x441 output with the frames handed over by reference and copied, through
// both of olm_vout's paths. Generated files: 1920x1080 and 640x480 MPEG-4, 3840x2160 H.264.
//
// The library's CPU per picture is what the process spends beyond decoding (the decode-only run
// beside it), over the pictures that reached the screen: put, the render thread, and what the
// decoder loses to them.

#include "bench_media.h"
#include "bench_util.h"
#include "olm_vout.h"
#include "playback_thread.h"
#include "shared_state.h"
#include "xhelpers.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

enum class Mode { DecodeOnly, ByReference, Copying };

struct Run {
    long pictures = 0;
    double seconds = 0, cpuMs = 0;
    uint64_t shown = 0;
    double rate() const { return seconds > 0 ? pictures / seconds : 0; }
};

Run play(const std::string& path, Mode mode) {
    PlaybackOptions options;
    options.pace = false;
    options.present = mode != Mode::DecodeOnly;
    options.byReference = mode == Mode::ByReference;
    options.endAtEnd = true;
    g_stopPlayback = false;
    olm_vout_stats before{}, after{};
    olm_vout_get_stats(currentVout(), &before);
    const double cpu = bench::processCpuMs();
    const auto start = bench::Clock::now();
    Run run;
    run.pictures = playFile(path.c_str(), options);
    // The rate is the decoder's: the last picture's way to the screen is not part of it.
    run.seconds = bench::msSince(start) / 1000;
    for (int i = 0; i < 400; ++i) { // until the last picture is accounted for
        olm_vout_get_stats(currentVout(), &after);
        if (after.presented + after.dropped >= after.put)
            break;
        bench::sleepMicroseconds(500);
    }
    run.cpuMs = bench::processCpuMs() - cpu;
    run.shown = after.presented - before.presented;
    return run;
}

double median(std::vector<double> values) {
    return bench::percentile(std::move(values), 50);
}

struct Targets {
    const char* libraryCpu; // by reference, ms per picture
    const char* rate;       // by reference, of the decode-only rate
    const char* cpuRatio;   // by reference against copying
};

// Rounds of decode only, by reference and copying, one after the other, so that a slow spell of
// this shared machine hits all three alike; each figure is the median over the rounds.
void measure(const std::string& label, const std::string& path, bool present, int rounds,
             const Targets& targets) {
    std::vector<double> decodeRates, refRatios, refShown, refCpu, copyCpu, cpuRatios;
    for (int i = 0; i < rounds; ++i) {
        const Run decoded = play(path, Mode::DecodeOnly);
        const Run byReference = play(path, Mode::ByReference);
        const Run copied = play(path, Mode::Copying);
        const double decodeCpuPerPicture = decoded.cpuMs / double(decoded.pictures);
        auto libraryCpu = [&](const Run& r) {
            return r.shown ? (r.cpuMs - decodeCpuPerPicture * double(r.pictures)) / double(r.shown)
                           : 0.0;
        };
        decodeRates.push_back(decoded.rate());
        refRatios.push_back(100 * byReference.rate() / decoded.rate());
        refShown.push_back(100.0 * double(byReference.shown) / double(byReference.pictures));
        refCpu.push_back(libraryCpu(byReference));
        copyCpu.push_back(libraryCpu(copied));
        cpuRatios.push_back(refCpu.back() / copyCpu.back());
    }
    const std::string how = label + (present ? ", Present" : ", PutImage");
    bench::row(label + ", decode only, pictures/s", median(decodeRates), "1/s", "");
    bench::row(how + ": by reference, rate / decode-only rate", median(refRatios), "%",
               targets.rate);
    bench::row(how + ": by reference, pictures shown", median(refShown), "%",
               present ? ">= 98" : "");
    bench::row(how + ": library CPU per picture, by reference", median(refCpu), "ms",
               targets.libraryCpu);
    bench::row(how + ": library CPU per picture, copying", median(copyCpu), "ms", "");
    bench::row(how + ": library CPU, by reference / copying", median(cpuRatios), "",
               targets.cpuRatio);
}

struct File {
    std::string label, path;
    int rounds;
    Targets targets;
    // Decodes faster than the screen refreshes: on the Present path most of its pictures would
    // be replaced before their refresh, which measures dropping, not presenting.
    bool fasterThanRefresh = false;
};

// The same 1080p pictures turned a quarter by their track's display matrix, against not turned:
// the output turns them on the smaller side of its scaling, so a turn costs little. Shown
// portrait in VOUT_NORMAL (a smaller picture) and filling the window in VOUT_PREFERRED (as many
// pixels as unturned).
void measureTurns(const std::string& plain, const std::string& turned) {
    const uint32_t host = createPlainWindow(784, 441);
    setCurrentVout(bench::createOutput(host, true));
    if (!currentVout())
        return;
    for (int mode : {VOUT_NORMAL, VOUT_PREFERRED}) {
        olm_vout_set_display_mode(currentVout(), mode);
        std::vector<double> ratios;
        for (int i = 0; i < 3; ++i) {
            const Run straight = play(plain, Mode::ByReference);
            const Run quarter = play(turned, Mode::ByReference);
            ratios.push_back((quarter.cpuMs / double(quarter.shown)) /
                             (straight.cpuMs / double(straight.shown)));
        }
        // Filling the window, the portrait picture is squeezed 2.4 times across and stretched 1.8
        // times down: a scaling unlike the unturned one's, shown for reference.
        const bool normal = mode == VOUT_NORMAL;
        bench::row(std::string("1920x1080 mpeg4 turned 90, ") +
                       (normal ? "VOUT_NORMAL" : "VOUT_PREFERRED") +
                       ": process CPU per picture shown / not turned",
                   median(ratios), "", normal ? "<= 1.3" : "");
    }
    olm_vout_destroy(&g_vout);
    destroyPlainWindow(host);
}

void measureOn(bool present, const std::vector<File>& files) {
    const uint32_t host = createPlainWindow(784, 441);
    setCurrentVout(bench::createOutput(host, !present));
    if (currentVout()) {
        for (const File& f : files)
            if (!present || !f.fasterThanRefresh)
                measure(f.label, f.path, present, f.rounds, f.targets);
        olm_vout_destroy(&g_vout);
    }
    destroyPlainWindow(host);
}

} // namespace

int main() {
    const std::vector<File> files = {
        {"1920x1080 mpeg4", bench::hdBenchFile(), 5, {"<= 0.5", ">= 95", "< 1"}},
        {"640x480 mpeg4",
         bench::benchMedia("bench-480-90s.avi",
                           "-f lavfi -i testsrc2=s=640x480:r=25:d=90 -c:v mpeg4 -q:v 3"),
         3,
         {"", "", ""},
         true},
        {"3840x2160 h264",
         bench::benchMedia("bench-2160-4s.mp4", "-f lavfi -i testsrc2=s=3840x2160:r=25:d=4 "
                                                "-c:v libx264 -preset veryfast -pix_fmt yuv420p"),
         3,
         {"<= 2", ">= 95", "< 1"}},
    };
    for (const File& f : files) {
        if (f.path.empty()) {
            std::fprintf(stderr, "could not generate the benchmark files with ffmpeg\n");
            return 1;
        }
    }
    // FFmpeg describes each file it opens; keep the table readable.
    std::fflush(stdout);
    if (!freopen("/dev/null", "w", stderr))
        return 1;
    bench::header("playback pipeline, unpaced, 784x441 output, screen faster than decoding "
                  "(medians of the rounds)");
    measureOn(true, files);
    measureOn(false, files);

    // The 1080p file in MP4, once as it is and once with a display matrix that turns it.
    const std::string hd = files.front().path;
    const std::string plain = bench::benchMedia("bench-1080-plain.mp4", "-i " + hd + " -c copy");
    const std::string turned = bench::benchMedia(
        "bench-1080-turned.mp4", "-i " + hd + " -c copy -metadata:s:v:0 rotate=270");
    if (plain.empty() || turned.empty()) {
        std::printf("could not make the turned benchmark file with ffmpeg\n");
        return 1;
    }
    bench::header(
        "turned pictures, by reference, PutImage path, 784x441 output (medians of three)");
    measureTurns(plain, turned);
    return bench::finish();
}
