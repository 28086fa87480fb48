#include "results.h"

namespace {

constexpr struct {
    Result result;
    const char* name;
} kNames[] = {{Result::Pass, "pass"},      {Result::Warn, "warn"},
              {Result::Skip, "skip"},      {Result::Unresolved, "unresolved"},
              {Result::Fail, "fail"},      {Result::Crash, "crash"},
              {Result::Timeout, "timeout"}};

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

std::string groupOf(const std::string& checkName) {
    return checkName.substr(0, checkName.find('.'));
}
