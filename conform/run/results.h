#pragma once

// What a run found: one record per check, and what the run was made against.

#include "judge/verdict.h"

#include <string>
#include <vector>

// The olm_vout.h this tester checks. Raised whenever checks of a new clause are added.
inline constexpr const char* kContractVersion = "1.1";

// A picture a check saved beside the report (file relative to the report directory).
struct ImageRef {
    std::string role; // "placement" (contact sheet), "expected", "observed", "difference"
    std::string file;
    std::string caption;
};

struct CheckRecord {
    std::string name{}, promise{};
    bool readsScreen = false;
    Result result = Result::Pass;
    std::string message{};
    double seconds = 0;
    std::vector<ImageRef> images{};
    std::string output{}; // what the check's process wrote on stdout and stderr (library lines)
    // The drawing path a check of what is drawn, counted and timed ran on ("mit-shm", shown as
    // "MIT-SHM"); empty for a check that runs once whatever the path.
    std::string path{}, pathLabel{};
};

// "name" for a check run once, "name [MIT-SHM]" for one of a path's: how reports name a result.
std::string shownName(const CheckRecord& record);

struct ServerInfo {
    bool wayland = false; // a Wayland compositor (display is its socket), not an X server
    std::string display, vendor, protocol;
    unsigned release = 0;
    int depth = 0;
    std::string readBackProblem; // empty: a plain X pattern read back as drawn
    double lookMs = 0;           // one look at a small window of the screen, timed at the start
    // What the server offers for the drawing paths: X Present and MIT-SHM on X11, presentation
    // feedback (wp_presentation) on Wayland.
    bool offersPresent = false, offersShm = false, offersPresentation = false;
};

struct RunInfo {
    std::string libraryPath, librarySha256;
    ServerInfo server;
    double timeoutFactor = 1;
    std::vector<std::string> pathLabels; // the paths the run took, the default one first
    std::vector<CheckRecord> checks;
};

// The first component of a dotted check name: "bench", "core" or "ext".
std::string groupOf(const std::string& checkName);

// A failure that follows from an earlier check's failure says so instead of its own symptom
// ("follows from ext.get_timing.path: ..."), so that one cause is reported once; its symptom
// moves to the front of its output, where the report's evidence still shows it. causes are the
// names of the checks it depends on; a cause counts on the record's own path, or run once.
void attributeToCause(CheckRecord& record, const std::vector<std::string>& causes,
                      const std::vector<CheckRecord>& earlier);
