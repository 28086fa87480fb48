#pragma once

// A check as the runner sees it: a dotted name, the one promise it checks (one line), the
// function that runs in a process of its own and returns a verdict, and what it needs. The
// function gets a CheckContext: the library, the settings and the line to the parent process.

#include "judge/verdict.h"
#include "run/vout_library.h"

#include <QImage>

#include <set>
#include <string>
#include <vector>

struct RunSettings {
    double timeoutFactor = 1;
    std::string reportDir; // empty: no images are saved
    bool wayland = false;  // hosts are rectangles of a Wayland surface, not X windows
    std::string pathId;    // the drawing path the check runs on, for its images' names
};

class CheckContext {
public:
    CheckContext(const VoutApi& api, const RunSettings& settings, std::string imagePrefix,
                 bool readsScreen, int parentFd);

    const VoutApi& api;
    const RunSettings& settings;
    const bool readsScreen; // a pixel check: its host windows must read back

    // A time in milliseconds scaled by --timeout-factor.
    int scaled(int milliseconds) const;
    // olm_vout_destroy, announced to the parent first: a destroy that never returns then costs
    // only the destroy limit, and one slower than a second is remembered for a warning.
    int destroy(olm_vout_t** vout);
    double slowestDestroySeconds() const { return slowestDestroy_; }
    // Whether the handle went through destroy above (and was not handed out again since).
    bool destroyed(olm_vout_t* vout) const { return destroyed_.count(vout) != 0; }
    void handedOut(olm_vout_t* vout) { destroyed_.erase(vout); }

    bool savingImages() const { return !settings.reportDir.empty(); }
    // Saves image as a PNG beside the report and tells the parent (no-op without --report).
    void saveImage(const std::string& role, const std::string& caption, const QImage& image);
    void sendVerdict(Result result, const std::string& message);
    // The descriptor of the line to the parent, for a signal handler's last word.
    int parentFd() const { return parentFd_; }

private:
    void send(const std::string& line);
    std::string imagePrefix_;
    int parentFd_;
    int imagesSaved_ = 0;
    double slowestDestroy_ = 0;
    std::set<olm_vout_t*> destroyed_;
};

// How long a destroy may take before the check counts as timed out, unscaled; the header
// promises about a second even from a server that stopped answering.
inline constexpr int kDestroyLimitMs = 1500;

using CheckFunction = Verdict (*)(CheckContext&);

struct Check {
    std::string name{};
    std::string promise{};
    CheckFunction run = nullptr;
    // Why the check can only run on X11 (it uses X windows, X requests or an X-only path), so
    // that a run on Wayland skips it; empty for a check of any platform.
    std::string x11Only{};
    std::vector<std::string> needs{}; // extension functions it calls; skipped when one is missing
    bool readsScreen = false;         // unresolved, not run, when the screen cannot be read back
    int deadlineMs = 10000;           // unscaled
    bool needsFiveFunctions = true;   // skipped when the library lacks one of the five
    // Earlier checks of requirements this one builds on: when one of them failed, this check's
    // failure is reported as following from it (attributeToCause).
    std::vector<std::string> dependsOn{};
    // A check of what is drawn, counted or timed: it runs again on each drawing path of the run
    // (allChecks sets it); the others run once.
    bool onEveryPath = false;
    // Why the check can only run on Wayland, so that a run on X11 skips it; empty for any platform.
    std::string waylandOnly{};
};

// One line on the pipe to the parent: tabs and newlines inside fields would break the framing.
std::string flatLine(std::string text);
