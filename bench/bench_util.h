#pragma once

// Timing helpers shared by the benchmarks.

#include "olm_vout.h"

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// CPU time of the whole process (all threads), in milliseconds.
inline double processCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// CPU time of another process (a display server the benchmark started), in milliseconds; 0 when
// it cannot be read. Clock-tick granularity: take it over runs of seconds.
inline double processCpuMs(long pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    std::FILE* file = std::fopen(path, "r");
    if (!file)
        return 0;
    char line[1024] = {};
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    const char* fields = read ? std::strrchr(line, ')') : nullptr; // the name may hold spaces
    unsigned long utime = 0, stime = 0;
    if (!fields || std::sscanf(fields + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                               &utime, &stime) != 2)
        return 0;
    return double(utime + stime) * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

// CPU time of the calling thread, in milliseconds.
inline double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

// An output on window, presenting at the refresh where the server allows, or with
// putImagePath drawn straight into the window (OLM_VOUT_NO_PRESENT for the call).
inline olm_vout_t* createOutput(uint32_t window, bool putImagePath = false) {
    if (putImagePath)
        setenv("OLM_VOUT_NO_PRESENT", "1", 1);
    olm_vout_params params{};
    params.window = window;
    params.pool_depth = 3;
    olm_vout_t* vout = olm_vout_create(&params);
    unsetenv("OLM_VOUT_NO_PRESENT");
    return vout;
}

inline void sleepMicroseconds(int us) {
    timespec t{0, long(us) * 1000};
    nanosleep(&t, nullptr);
}

inline double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p / 100.0 * (values.size() - 1) + 0.5));
    return values[index];
}

// Tables: rows are kept until the table ends (at the next header, or at finish), then printed
// with the name column as wide as the longest name. A target such as "<= 1.6" or ">= 600" is
// checked; a row that misses it is marked, and finish() then returns 1.
struct Row {
    std::string what;
    double value;
    std::string unit, target, verdict;
};

inline std::string g_title;
inline std::vector<Row> g_rows;
inline int g_missed = 0;

// "" when the target is not a comparison, else "ok" or "MISSED".
inline std::string verdictFor(double value, const std::string& target) {
    double limit = 0;
    char op[3] = {};
    if (std::sscanf(target.c_str(), " %2[<>=] %lf", op, &limit) != 2)
        return "";
    const std::string o = op;
    const bool met = o == "<"    ? value < limit
                     : o == "<=" ? value <= limit
                     : o == ">"  ? value > limit
                     : o == ">=" ? value >= limit
                                 : true;
    return met ? "ok" : "MISSED";
}

inline void endTable() {
    if (g_rows.empty())
        return;
    size_t width = std::string("measure").size();
    for (const Row& r : g_rows)
        width = std::max(width, r.what.size());
    const int w = int(width);
    std::printf("\n%s\n", g_title.c_str());
    std::printf("| %-*s | %10s | %-6s | %-18s | %-6s |\n", w, "measure", "value", "unit", "target",
                "");
    std::printf("|%s|%s|%s|%s|%s|\n", std::string(width + 2, '-').c_str(),
                std::string(12, '-').c_str(), std::string(8, '-').c_str(),
                std::string(20, '-').c_str(), std::string(8, '-').c_str());
    for (const Row& r : g_rows)
        std::printf("| %-*s | %10.3f | %-6s | %-18s | %-6s |\n", w, r.what.c_str(), r.value,
                    r.unit.c_str(), r.target.c_str(), r.verdict.c_str());
    std::fflush(stdout);
    g_rows.clear();
}

inline void header(const char* title) {
    endTable();
    g_title = title;
}

inline void row(const std::string& what, double value, const char* unit, const char* target) {
    Row r{what, value, unit, target, verdictFor(value, target)};
    if (r.verdict == "MISSED")
        ++g_missed;
    g_rows.push_back(std::move(r));
}

// Prints the last table; 1 when any row missed its target, else 0: main's exit code.
inline int finish() {
    endTable();
    if (g_missed)
        std::printf("\n%d row(s) missed their target\n", g_missed);
    return g_missed ? 1 : 0;
}

} // namespace bench
