#pragma once

// Every check, by group. Each group lives in a file of its own (checks/<group>.cpp) and adds its
// checks with an add*Checks function listed in allChecks(); adding a group is one such file and
// one line there.

#include "run/check.h"

#include <string>
#include <vector>

void addBenchChecks(std::vector<Check>& checks);
void addCoreApiChecks(std::vector<Check>& checks);
void addCoreArgumentChecks(std::vector<Check>& checks);
void addCorePlacementChecks(std::vector<Check>& checks);
void addCoreColourChecks(std::vector<Check>& checks);
void addCoreRedrawChecks(std::vector<Check>& checks);
void addCoreThreadChecks(std::vector<Check>& checks);
void addCorePathChecks(std::vector<Check>& checks);
void addCoreSystemChecks(std::vector<Check>& checks);
void addExtPictureChecks(std::vector<Check>& checks);
void addExtRedrawChecks(std::vector<Check>& checks);
void addExtReleaseChecks(std::vector<Check>& checks);
void addExtRotationChecks(std::vector<Check>& checks);
void addExtCounterChecks(std::vector<Check>& checks);
void addExtVideoRectChecks(std::vector<Check>& checks);

// Every check, in report order (the run moves prerequisites ahead: prerequisitesFirst).
std::vector<Check> allChecks();
// The checks whose names match any of the globs (all of them for no globs).
std::vector<Check> selectChecks(const std::vector<Check>& checks,
                                const std::vector<std::string>& globs);
// The checks that others depend on (Check::dependsOn) first, then the rest, each part in its
// order: a failure is then reported as following from its cause, which has already run.
std::vector<Check> prerequisitesFirst(const std::vector<Check>& checks);
