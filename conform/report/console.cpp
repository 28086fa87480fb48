#include "report/report.h"

#include <algorithm>
#include <map>

void Totals::add(Result result) {
    switch (result) {
    case Result::Pass:
        ++passed;
        break;
    case Result::Warn:
        ++passed;
        ++warned;
        break;
    case Result::Skip:
        ++skipped;
        break;
    case Result::Unresolved:
        ++skipped;
        ++unresolved;
        break;
    case Result::Fail:
    case Result::Crash:
    case Result::Timeout:
        ++failed;
        break;
    }
}

std::string consoleLine(const CheckRecord& r) {
    const std::string name = shownName(r);
    switch (r.result) {
    case Result::Pass:
        return name + ": OK";
    case Result::Skip:
        return name + ": OK (skipped: " + r.message + ")";
    case Result::Warn:
        return name + ": WARN: " + r.message;
    case Result::Fail:
        return name + ": FAIL: " + r.message;
    case Result::Crash:
        return name + ": CRASH: " + r.message;
    case Result::Timeout:
        return name + ": TIMEOUT: " + r.message;
    case Result::Unresolved:
        return name + ": UNRESOLVED: " + r.message;
    }
    return name;
}

std::string verdictOf(const RunInfo& run) {
    bool failed = false, unresolvedPixels = false;
    for (const CheckRecord& r : run.checks) {
        failed = failed || isFailure(r.result);
        unresolvedPixels = unresolvedPixels || (r.readsScreen && r.result == Result::Unresolved);
    }
    return failed ? "not conformant" : unresolvedPixels ? "not tested" : "conformant";
}

std::vector<const CheckRecord*> failuresFirst(const RunInfo& run) {
    std::vector<const CheckRecord*> order;
    for (Result kind : {Result::Fail, Result::Crash, Result::Timeout, Result::Unresolved,
                        Result::Warn, Result::Skip})
        for (const CheckRecord& r : run.checks)
            if (r.result == kind)
                order.push_back(&r);
    return order;
}

std::string countsText(const Totals& t) {
    return std::to_string(t.passed) + " passed, " + std::to_string(t.failed) + " failed, " +
           std::to_string(t.skipped) + " skipped";
}

Totals totalsOf(const RunInfo& run) {
    Totals all;
    for (const CheckRecord& r : run.checks)
        all.add(r.result);
    return all;
}

std::string verdictText(const RunInfo& run) {
    const Totals all = totalsOf(run);
    std::string text = verdictOf(run);
    if (all.failed)
        text += ": " + std::to_string(all.failed) + " failed";
    std::string warned;
    for (const CheckRecord& r : run.checks)
        if (r.result == Result::Warn)
            warned += (warned.empty() ? "" : ", ") + shownName(r);
    return text + (all.warned ? "; " + std::to_string(all.warned) +
                                    (all.warned == 1 ? " warning: " : " warnings: ") + warned
                              : std::string("; no warnings"));
}

std::string consoleSummary(const RunInfo& run) {
    std::map<std::string, Totals> groups;
    std::vector<std::string> order;
    Totals all;
    int unresolvedPixels = 0;
    for (const CheckRecord& r : run.checks) {
        const std::string group = groupOf(r.name);
        if (!groups.count(group))
            order.push_back(group);
        groups[group].add(r.result);
        all.add(r.result);
        unresolvedPixels += r.result == Result::Unresolved && r.readsScreen;
    }
    // bench, core, ext, as the checks are listed, whichever ran first.
    auto rank = [](const std::string& group) {
        return group == "bench" ? 0 : group == "core" ? 1 : group == "ext" ? 2 : 3;
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](const std::string& a, const std::string& b) { return rank(a) < rank(b); });
    std::string text;
    for (const std::string& group : order) {
        const Totals& t = groups[group];
        text += group + ": " + countsText(t);
        if (t.warned || t.unresolved)
            text += " (" + std::to_string(t.warned) + " with warnings, " +
                    std::to_string(t.unresolved) + " unresolved)";
        text += "\n";
    }
    // Each path's own figures, for the checks of what is drawn, counted and timed.
    if (run.pathLabels.size() > 1)
        for (const std::string& label : run.pathLabels) {
            Totals t;
            for (const CheckRecord& r : run.checks)
                if (r.pathLabel == label)
                    t.add(r.result);
            text += "on " + label + ": " + countsText(t) + "\n";
        }
    if (unresolvedPixels)
        text += std::to_string(unresolvedPixels) +
                " pixel checks unresolved (counted as skipped): the screen could not be read "
                "back, so the pictures were not really tested\n";
    return text + verdictText(run) + "\n" + countsText(all) + "\n";
}
