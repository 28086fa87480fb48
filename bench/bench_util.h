#pragma once

// Timing helpers shared by the benchmarks.

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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

// CPU time of the calling thread, in milliseconds.
inline double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
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

inline void row(const char* what, double value, const char* unit, const char* target) {
    std::printf("| %-52s | %10.3f | %-10s | %-18s |\n", what, value, unit, target);
}

inline void header(const char* title) {
    std::printf("\n%s\n", title);
    std::printf("| %-52s | %10s | %-10s | %-18s |\n", "measure", "value", "unit", "target");
    std::printf("|%s|%s|%s|%s|\n", std::string(54, '-').c_str(), std::string(12, '-').c_str(),
                std::string(12, '-').c_str(), std::string(20, '-').c_str());
}

} // namespace bench
