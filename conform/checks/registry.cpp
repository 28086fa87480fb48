#include "checks/registry.h"

#include <fnmatch.h>

std::vector<Check> allChecks() {
    std::vector<Check> checks;
    addBenchChecks(checks);
    addCoreApiChecks(checks);
    addCoreArgumentChecks(checks);
    addCorePlacementChecks(checks);
    addCoreColourChecks(checks);
    addCoreRedrawChecks(checks);
    addCorePathChecks(checks); // before the checks that depend on the path
    addCoreThreadChecks(checks);
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
