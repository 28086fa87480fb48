#pragma once

// The run's reports: a console line per check as it ends and a summary, and with --report the
// files results.json, junit.xml and index.html (its images in images/ beside it).

#include "run/results.h"

#include <string>

struct Totals {
    int passed = 0, failed = 0, skipped = 0, unresolved = 0, warned = 0;
    void add(Result result);
};

// "name: OK", "name: OK (skipped: why)", "name: WARN: ...", "name: FAIL: expected ..." and
// CRASH, TIMEOUT, UNRESOLVED alike.
std::string consoleLine(const CheckRecord& record);
// A line per group, one per drawing path when the run took several ("on MIT-SHM: 50 passed, ..."),
// a note when pixel checks went unresolved, the verdict with the warnings
// ("not conformant: 2 failed; 1 warning: core.placement.normal"), then "N passed, N failed,
// N skipped" alone on the last line (warn counts as passed, crash and timeout as failed,
// unresolved as skipped).
std::string consoleSummary(const RunInfo& run);

// The summary's last two lines, which the HTML headline shows too: the verdict with the failed
// count and the warnings, and "N passed, N failed, N skipped".
std::string verdictText(const RunInfo& run);
std::string countsText(const Totals& totals);
Totals totalsOf(const RunInfo& run);

// What the run says of the library, as the exit status does: "conformant", "not conformant"
// (a check failed, crashed or timed out) or "not tested" (pixel checks unresolved, none failed).
std::string verdictOf(const RunInfo& run);
// The order a reader wants the checks that did not simply pass in: failed, crashed, timed out,
// unresolved, then warned (skipped ones last); within a kind, in run order.
std::vector<const CheckRecord*> failuresFirst(const RunInfo& run);

bool writeJsonReport(const RunInfo& run, const std::string& path);
bool writeJunitReport(const RunInfo& run, const std::string& path);
bool writeHtmlReport(const RunInfo& run, const std::string& path);
