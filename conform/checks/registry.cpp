#include "checks/registry.h"

#include <fnmatch.h>

#include <set>

namespace {

// The checks that run once whatever the drawing path: exports and handles, argument checking,
// resources, and the path checks themselves. Every other check is of what is drawn, counted or
// timed, and runs on each path.
constexpr const char* kOncePerRun[] = {
    "bench.*",         "core.handles.*",         "core.resources.*",      "core.paths.*",
    "*.invalid_rejected", "core.create.record", "ext.get_stats.arguments", "ext.get_timing.record",
};

bool matchesAny(const std::string& name, const auto& globs) {
    for (const auto& glob : globs)
        if (fnmatch(std::string(glob).c_str(), name.c_str(), 0) == 0)
            return true;
    return false;
}

} // namespace

std::vector<Check> allChecks() {
    std::vector<Check> checks;
    addBenchChecks(checks);
    addCoreApiChecks(checks);
    addCoreArgumentChecks(checks);
    addCorePlacementChecks(checks);
    addCoreColourChecks(checks);
    addCoreRedrawChecks(checks);
    addCoreThreadChecks(checks);
    addCorePathChecks(checks);
    addCoreSystemChecks(checks);
    addExtPictureChecks(checks);
    addExtReleaseChecks(checks);
    addExtRedrawChecks(checks);
    addExtRotationChecks(checks);
    addExtCounterChecks(checks);
    addExtVideoRectChecks(checks);
    for (Check& check : checks)
        check.onEveryPath = !matchesAny(check.name, kOncePerRun);
    return checks;
}

std::vector<Check> selectChecks(const std::vector<Check>& checks,
                                const std::vector<std::string>& globs) {
    if (globs.empty())
        return checks;
    std::vector<Check> selected;
    for (const Check& check : checks)
        if (matchesAny(check.name, globs))
            selected.push_back(check);
    return selected;
}

std::vector<Check> prerequisitesFirst(const std::vector<Check>& checks) {
    std::set<std::string> prerequisites;
    for (const Check& check : checks)
        prerequisites.insert(check.dependsOn.begin(), check.dependsOn.end());
    std::vector<Check> ordered;
    for (bool first : {true, false})
        for (const Check& check : checks)
            if (prerequisites.count(check.name) == size_t(first))
                ordered.push_back(check);
    return ordered;
}
