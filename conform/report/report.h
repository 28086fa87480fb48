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
// A line per group, a note when pixel checks went unresolved, then "N passed, N failed,
// N skipped" alone on the last line (warn counts as passed, crash and timeout as failed,
// unresolved as skipped).
std::string consoleSummary(const RunInfo& run);

bool writeJsonReport(const RunInfo& run, const std::string& path);
bool writeJunitReport(const RunInfo& run, const std::string& path);
bool writeHtmlReport(const RunInfo& run, const std::string& path);
