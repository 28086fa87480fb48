#pragma once

// The registry of checks. A check is a dotted name, the one promise it checks (one line) and a
// function that runs in a process of its own and returns a verdict. Each group of checks lives
// in a file of its own and adds its checks with an add*Checks function listed in allChecks();
// adding a group is one such file and one line there.

#include "results.h"
#include "vout_library.h"

#include <QImage>

#include <string>
#include <vector>

// What a check concluded: the worst of its findings, with the message of the first finding at
// that level.
class Verdict {
public:
    Result result() const { return result_; }
    const std::string& message() const { return message_; }
    void add(Result result, const std::string& message);
    void merge(const Verdict& other) { add(other.result_, other.message_); }
    // "expected ..., observed ...", as the console shows a failure.
    void fail(const std::string& expected, const std::string& observed);
    void warn(const std::string& message) { add(Result::Warn, message); }
    bool failed() const { return result_ == Result::Fail; }

private:
    Result result_ = Result::Pass;
    std::string message_;
};

// Ends a check at once with a result (thrown from helpers; the runner turns it into the verdict).
struct CheckStopped {
    Result result;
    std::string message;
};
[[noreturn]] void stopCheck(Result result, const std::string& message);
[[noreturn]] void stopFailed(const std::string& expected, const std::string& observed);

// "OLM_VOUT_E_HANDLE (1)" and the like.
std::string codeName(int code);
// Adds a failure unless call returned want.
void expectCode(Verdict& verdict, const std::string& call, int got, int want);

struct RunSettings {
    double timeoutFactor = 1;
    std::string reportDir; // empty: no images are saved
};

// What a check's function gets: the library, the settings, and the line to the parent process.
class CheckContext {
public:
    CheckContext(const VoutApi& api, const RunSettings& settings, std::string checkName,
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

    bool savingImages() const { return !settings.reportDir.empty(); }
    // Saves image as a PNG beside the report and tells the parent (no-op without --report).
    void saveImage(const std::string& role, const std::string& caption, const QImage& image);
    void sendVerdict(Result result, const std::string& message);

private:
    void send(const std::string& line);
    std::string checkName_;
    int parentFd_;
    int imagesSaved_ = 0;
    double slowestDestroy_ = 0;
};

// How long a destroy may take before the check counts as timed out, unscaled; the header
// promises about a second even from a server that stopped answering.
inline constexpr int kDestroyLimitMs = 2000;

using CheckFunction = Verdict (*)(CheckContext&);

struct Check {
    std::string name{};
    std::string promise{};
    CheckFunction run = nullptr;
    std::vector<std::string> needs{}; // extension functions it calls; skipped when one is missing
    bool readsScreen = false;         // unresolved, not run, when the screen cannot be read back
    int deadlineMs = 10000;           // unscaled
    bool needsFiveFunctions = true;   // skipped when the library lacks one of the five
};

void addBenchChecks(std::vector<Check>& checks);
void addCoreApiChecks(std::vector<Check>& checks);
void addCorePlacementChecks(std::vector<Check>& checks);
void addCoreColourChecks(std::vector<Check>& checks);
void addCoreRedrawChecks(std::vector<Check>& checks);
void addCoreSystemChecks(std::vector<Check>& checks);
void addExtPictureChecks(std::vector<Check>& checks);
void addExtRotationChecks(std::vector<Check>& checks);
void addExtCounterChecks(std::vector<Check>& checks);

// Every check, in report order.
std::vector<Check> allChecks();
// The checks whose names match any of the globs (all of them for no globs).
std::vector<Check> selectChecks(const std::vector<Check>& checks,
                                const std::vector<std::string>& globs);
