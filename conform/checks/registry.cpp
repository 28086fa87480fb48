#include "checks/registry.h"

#include <fnmatch.h>

#include <set>

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
    return checks;
}

std::vector<Check> selectChecks(const std::vector<Check>& checks,
                                const std::vector<std::string>& globs) {
    if (globs.empty())
        return checks;
    std::vector<Check> selected;
    for (const Check& check : checks)
        for (const std::string& glob : globs)
            if (fnmatch(glob.c_str(), check.name.c_str(), 0) == 0) {
                selected.push_back(check);
                break;
            }
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
