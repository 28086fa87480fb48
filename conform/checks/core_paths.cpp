// core.paths: the ways of drawing the environment can ask for. OLM_VOUT_NO_PRESENT=1 forces
// drawing into the window (through MIT-SHM), with OLM_VOUT_NO_SHM=1 too through plain PutImage.
// Each runs a short round of what every path must do: colours, placement with black borders,
// redraws after exposure and a mode change, and the figures against what the tester saw (the
// path among them).

#include "checks/observed_puts.h"
#include "checks/registry.h"
#include "checks/scene.h"

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

// Large enough that plain PutImage sends the picture in several strips.
constexpr int kWidth = 480, kHeight = 270;

// Shared memory mapped into this process (System V segments, or POSIX and memfd ones): what
// MIT-SHM puts attach. The tester maps none of its own.
int sharedMemoryMappings() {
    std::ifstream maps("/proc/self/maps");
    int count = 0;
    for (std::string line; std::getline(maps, line);)
        count += line.find("/SYSV") != std::string::npos ||
                 line.find("/dev/shm/") != std::string::npos ||
                 line.find("/memfd:") != std::string::npos;
    return count;
}

Verdict roundOnPath(CheckContext& ctx, bool shm) {
    setenv("OLM_VOUT_NO_PRESENT", "1", 1);
    if (!shm)
        setenv("OLM_VOUT_NO_SHM", "1", 1);
    Scene s(ctx);
    Verdict verdict;
    const std::string path = shm ? "drawn into the window" : "drawn with plain PutImage";
    const int noPadding[3] = {0, 0, 0};
    s.checkSheet(verdict, kMatrices[0], OLM_VOUT_RANGE_LIMITED, noPadding, false,
                 "BT.601 limited range, " + path);
    if (verdict.failed())
        return verdict;
    const HostId host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    const uint64_t firstPutUs = monotonicMicroseconds();
    // 4:3 in 16:9: black on both sides.
    const RectF normal = expectedPlacement(VOUT_NORMAL, 160, 120, 0, 0, kWidth, kHeight);
    s.requirePut(vout, flatPicture(160, 120, kAmber));
    s.judgeAndRecord(verdict, s.waitForPlacement(host, normal, kAmber).image, normal, kAmber,
                     "VOUT_NORMAL, " + path);
    if (verdict.failed())
        return verdict;
    s.uncover(host, s.cover(host, kWidth / 3, 0, kWidth, kHeight / 2));
    s.judgeAndRecord(verdict, s.waitForPlacement(host, normal, kAmber).image, normal, kAmber,
                     "after part of the window was exposed, " + path);
    s.requireMode(vout, VOUT_16_9);
    const RectF wide{0, 0, kWidth, kHeight};
    s.judgeAndRecord(verdict, s.waitForPlacement(host, wide, kAmber).image, wide, kAmber,
                     "after setting VOUT_16_9, " + path);
    // What travels through shared memory: with OLM_VOUT_NO_SHM nothing, else MIT-SHM where the
    // server offers it.
    const int mappings = sharedMemoryMappings();
    if (!shm && mappings > 0)
        verdict.failBecause(std::to_string(mappings) +
                            " shared-memory mappings in the process "
                            "with OLM_VOUT_NO_SHM=1 (plain PutImage expected)");
    else if (shm && serverOffersShm(s.x) && mappings == 0)
        verdict.failBecause("no shared memory mapped in the process, where the server offers "
                            "MIT-SHM");
    verdict.merge(judgeReportedPath(s, vout));
    const uint64_t observedFromUs = monotonicMicroseconds();
    ObservedPuts observed = showObserved(s, verdict, vout, host, 5, 160, 90);
    // The puts before, for the records of their pictures.
    observed.accepted += 1;
    observed.seen += 1;
    observed.puts.insert(observed.puts.begin(), PutWindow{firstPutUs, observedFromUs, 0});
    verdict.merge(judgeObservedFigures(s, vout, host, observed));
    return verdict;
}

// The default path where the server offers Present and MIT-SHM: the pictures go through shared
// memory there too (whether into shared pixmaps or with ShmPutImage into plain ones is the
// library's choice; either maps a segment into this process).
Verdict presentPathShm(CheckContext& ctx) {
    Scene s(ctx);
    if (!s.offersTimedPath() || !serverOffersShm(s.x) || std::getenv("OLM_VOUT_NO_SHM"))
        stopCheck(Result::Skip, "the server offers no Present or no MIT-SHM, or the environment "
                                "turns one off");
    const HostId host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    Verdict verdict;
    s.expectArrived(verdict, s.showFlat(vout, host, kWidth, kHeight, kAmber), kAmber, "the window");
    s.expectArrived(verdict, s.showFlat(vout, host, kWidth, kHeight, kSky), kSky, "the window");
    if (sharedMemoryMappings() == 0)
        verdict.fail("shared memory mapped in the process on the Present path, where the server "
                     "offers MIT-SHM",
                     "none");
    return verdict;
}

Verdict putImagePath(CheckContext& ctx) {
    return roundOnPath(ctx, true);
}

Verdict stripsPath(CheckContext& ctx) {
    return roundOnPath(ctx, false);
}

} // namespace

void addCorePathChecks(std::vector<Check>& checks) {
    checks.insert(
        checks.end(),
        {
            {.name = "core.paths.present_shm",
             .promise = "where the server offers Present and MIT-SHM, pictures on the Present "
                        "path travel through MIT-SHM",
             .run = presentPathShm,
             .x11Only = "checks X11's drawing paths",
             .readsScreen = true},
            {.name = "core.paths.no_present",
             .promise = "with OLM_VOUT_NO_PRESENT=1 pictures are drawn into the window: colours, "
                        "placement, redraws and figures hold, the path is "
                        "OLM_VOUT_PATH_PUT_IMAGE, and pixels travel through MIT-SHM",
             .run = putImagePath,
             .x11Only = "checks X11's drawing paths",
             .readsScreen = true,
             .deadlineMs = 20000},
            {.name = "core.paths.no_shm",
             .promise = "with OLM_VOUT_NO_PRESENT=1 and OLM_VOUT_NO_SHM=1 the same holds, "
                        "with no shared memory (plain PutImage)",
             .run = stripsPath,
             .x11Only = "checks X11's drawing paths",
             .readsScreen = true,
             .deadlineMs = 20000},
        });
}
