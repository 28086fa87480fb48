#include "judge/verdict.h"

namespace {

constexpr struct {
    Result result;
    const char* name;
} kNames[] = {{Result::Pass, "pass"},      {Result::Warn, "warn"},
              {Result::Skip, "skip"},      {Result::Unresolved, "unresolved"},
              {Result::Fail, "fail"},      {Result::Crash, "crash"},
              {Result::Timeout, "timeout"}};

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

} // namespace

const char* resultName(Result result) {
    for (const auto& entry : kNames)
        if (entry.result == result)
            return entry.name;
    return "?";
}

std::optional<Result> resultFromName(std::string_view name) {
    for (const auto& entry : kNames)
        if (name == entry.name)
            return entry.result;
    return std::nullopt;
}

bool isFailure(Result result) {
    return result == Result::Fail || result == Result::Crash || result == Result::Timeout;
}

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
