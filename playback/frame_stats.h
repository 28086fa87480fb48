#pragma once

// Frames-per-second reports: a wall clock read through the local calendar time, a counter that
// turns ticks into one report per whole second, and the statistics thread that ticks it once
// per frame interval while a video output exists.

#include <cstdint>
#include <ctime>
#include <string>

struct WallTime {
    int64_t seconds;      // since the epoch, from the local calendar time through mktime
    int32_t microseconds; // the reading's milliseconds times 1000
};

// Fills t from the clock now; wallClockAt does the same for a given CLOCK_REALTIME reading.
void wallClock(WallTime* t);
void wallClockAt(const timespec& now, WallTime* t);
int64_t wallSeconds();
double wallSecondsExact();
double wallSecondsExactAt(const timespec& now);

// Prints the formatted text and a newline on standard output (at most 4095 characters of text).
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The report line for count ticks over elapsedSeconds whole seconds.
std::string fpsReportLine(int32_t count, int64_t elapsedSeconds);

struct FpsCounter {
    int64_t startSecond = -1; // negative until the first tick
    int32_t count = 0;

    // Counts one tick at the current whole second and prints a report once a whole second has
    // passed since the window began.
    void tick();
    // The same with the clock reading given, for tests.
    void tickAt(int64_t nowSecond);
};

// POSIX thread entry; the argument (the window) is not used. Runs while g_statsRunning is set.
void* statisticsThread(void* window);

// Ends the statistics thread if there is one: clears g_statsRunning, joins, empties the handle.
void stopStatisticsThread();
// Ends any statistics thread, then starts a fresh one.
void restartStatisticsThread(void* window);
