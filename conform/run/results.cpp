#include "run/results.h"

std::string groupOf(const std::string& checkName) {
    return checkName.substr(0, checkName.find('.'));
}

std::string shownName(const CheckRecord& record) {
    return record.pathLabel.empty() ? record.name : record.name + " [" + record.pathLabel + "]";
}

void attributeToCause(CheckRecord& record, const std::vector<std::string>& causes,
                      const std::vector<CheckRecord>& earlier) {
    if (!isFailure(record.result))
        return;
    for (const std::string& cause : causes)
        for (const CheckRecord& r : earlier)
            if (r.name == cause && isFailure(r.result) &&
                (r.path.empty() || r.path == record.path)) {
                record.output = "Its own symptom: " + record.message + "\n" + record.output;
                record.message = "follows from " + shownName(r) + ": " + r.message;
                return;
            }
}
