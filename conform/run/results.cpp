#include "run/results.h"

std::string groupOf(const std::string& checkName) {
    return checkName.substr(0, checkName.find('.'));
}

void attributeToCause(CheckRecord& record, const std::vector<std::string>& causes,
                      const std::vector<CheckRecord>& earlier) {
    if (!isFailure(record.result))
        return;
    for (const std::string& cause : causes)
        for (const CheckRecord& r : earlier)
            if (r.name == cause && isFailure(r.result)) {
                record.output = "Its own symptom: " + record.message + "\n" + record.output;
                record.message = "follows from " + r.name + ": " + r.message;
                return;
            }
}
