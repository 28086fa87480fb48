#pragma once

// Benchmark input files, generated with ffmpeg into the build tree once and reused by later runs.

#include "media.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace bench {

inline std::string benchMedia(const char* name, const std::string& inputsAndOptions) {
    const std::string path = std::string(LUMIVAREX_BENCH_MEDIA) + "/" + name;
    if (access(path.c_str(), R_OK) == 0)
        return path;
    const std::string made = makeMedia(name, inputsAndOptions);
    return !made.empty() && std::rename(made.c_str(), path.c_str()) == 0 ? path : std::string();
}

// The 1920x1080 mpeg4 file both playback benchmarks use.
inline std::string hdBenchFile() {
    return benchMedia("bench-1080-20s.avi",
                      "-f lavfi -i testsrc2=s=1920x1080:r=25:d=20 -c:v mpeg4 -q:v 3");
}

} // namespace bench
