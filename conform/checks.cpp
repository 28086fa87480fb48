#include "checks.h"

#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace {

int severity(Result result) {
    switch (result) {
    case Result::Pass:
        return 0;
    case Result::Skip:
        return 1;
    case Result::Warn:
        return 2;
    case Result::Unresolved:
        return 3;
    default:
        return 4;
    }
}

// One line on the pipe: tabs and newlines inside fields would break the framing.
std::string flat(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\t', ' ');
    return text;
}

} // namespace

void Verdict::add(Result result, const std::string& message) {
    if (severity(result) > severity(result_)) {
        result_ = result;
        message_ = message;
    }
}

void Verdict::fail(const std::string& expected, const std::string& observed) {
    add(Result::Fail, "expected " + expected + ", observed " + observed);
}

void stopCheck(Result result, const std::string& message) {
    throw CheckStopped{result, message};
}

void stopFailed(const std::string& expected, const std::string& observed) {
    stopCheck(Result::Fail, "expected " + expected + ", observed " + observed);
}

std::string codeName(int code) {
    static const char* const names[] = {"OLM_VOUT_OK", "OLM_VOUT_E_HANDLE", "OLM_VOUT_E_INVALID",
                                        "OLM_VOUT_E_BUSY", "OLM_VOUT_E_NO_MEMORY"};
    const std::string number = std::to_string(code);
    return code >= 0 && code < 5 ? std::string(names[code]) + " (" + number + ")" : number;
}

void expectCode(Verdict& verdict, const std::string& call, int got, int want) {
    if (got != want)
        verdict.fail(call + " to return " + codeName(want), codeName(got));
}

CheckContext::CheckContext(const VoutApi& api_, const RunSettings& settings_, std::string checkName,
                           bool readsScreen_, int parentFd)
    : api(api_), settings(settings_), readsScreen(readsScreen_), checkName_(std::move(checkName)),
      parentFd_(parentFd) {}

int CheckContext::scaled(int milliseconds) const {
    return static_cast<int>(milliseconds * settings.timeoutFactor);
}

int CheckContext::destroy(olm_vout_t** vout) {
    send("D " + std::to_string(scaled(kDestroyLimitMs)));
    const auto start = std::chrono::steady_clock::now();
    const int code = api.destroy(vout);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    send("d");
    slowestDestroy_ = std::max(slowestDestroy_, took.count());
    return code;
}

void CheckContext::saveImage(const std::string& role, const std::string& caption,
                             const QImage& image) {
    if (!savingImages() || image.isNull())
        return;
    const std::string file =
        "images/" + checkName_ + "-" + std::to_string(++imagesSaved_) + "-" + role + ".png";
    if (image.save(QString::fromStdString(settings.reportDir + "/" + file), "PNG"))
        send("I " + flat(role) + "\t" + file + "\t" + flat(caption));
}

void CheckContext::sendVerdict(Result result, const std::string& message) {
    send(std::string("V ") + resultName(result) + "\t" + flat(message));
}

void CheckContext::send(const std::string& line) {
    // Lines are far below PIPE_BUF, so each write arrives whole even from several threads.
    const std::string text = line.substr(0, 3000) + "\n";
    if (write(parentFd_, text.data(), text.size()) < 0) {
        // The parent is gone; nothing is left to tell.
    }
}

std::vector<Check> allChecks() {
    std::vector<Check> checks;
    addBenchChecks(checks);
    addCoreApiChecks(checks);
    addCorePlacementChecks(checks);
    addCoreColourChecks(checks);
    addCoreRedrawChecks(checks);
    addCoreSystemChecks(checks);
    addExtPictureChecks(checks);
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
