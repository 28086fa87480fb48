#pragma once

// What a check concludes: a result level and the message that says what is wrong. The judges
// build verdicts from observations; the checks merge them; the runner reports them.

#include <optional>
#include <string>
#include <string_view>

enum class Result { Pass, Warn, Skip, Unresolved, Fail, Crash, Timeout };

// Lower case, as in results.json: "pass", "warn", ...
const char* resultName(Result result);
std::optional<Result> resultFromName(std::string_view name);
// Fail, crash and timeout make a library non-conformant; warn counts as passed.
bool isFailure(Result result);

// The worst of a check's findings, with the message of the first finding at that level.
class Verdict {
public:
    Result result() const { return result_; }
    const std::string& message() const { return message_; }
    void add(Result result, const std::string& message);
    void merge(const Verdict& other) { add(other.result_, other.message_); }
    // "expected ..., observed ...", as the console shows a failure.
    void fail(const std::string& expected, const std::string& observed);
    // A failure already phrased as what is wrong ("records out of order").
    void failBecause(const std::string& what) { add(Result::Fail, what); }
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
