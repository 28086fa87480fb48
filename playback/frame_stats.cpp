#include "frame_stats.h"

#include "shared_state.h"

#include <cstdarg>
#include <cstdio>

void wallClockAt(const timespec& now, WallTime* t) {
    tm local{};
    localtime_r(&now.tv_sec, &local);
    // Rebuilt from the calendar fields, daylight-saving state left to mktime.
    tm calendar{};
    calendar.tm_year = local.tm_year;
    calendar.tm_mon = local.tm_mon;
    calendar.tm_mday = local.tm_mday;
    calendar.tm_hour = local.tm_hour;
    calendar.tm_min = local.tm_min;
    calendar.tm_sec = local.tm_sec;
    calendar.tm_isdst = -1;
    t->seconds = static_cast<int64_t>(mktime(&calendar));
    t->microseconds = static_cast<int32_t>(now.tv_nsec / 1000000) * 1000;
}

void wallClock(WallTime* t) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    wallClockAt(now, t);
}

int64_t wallSeconds() {
    WallTime t;
    wallClock(&t);
    return t.seconds;
}

double wallSecondsExactAt(const timespec& now) {
    WallTime t;
    wallClockAt(now, &t);
    return t.seconds + t.microseconds / 1000000.0;
}

double wallSecondsExact() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return wallSecondsExactAt(now);
}

void logLine(const char* format, ...) {
    char buffer[4096] = {};
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args); // cut at 4095 characters
    va_end(args);
    std::printf("%s\n", buffer);
    std::fflush(stdout);
}

std::string fpsReportLine(int32_t count, int64_t elapsedSeconds) {
    const float elapsed = static_cast<float>(elapsedSeconds);
    const float fps = static_cast<float>(count / elapsed);
    char line[128];
    std::snprintf(line, sizeof line, "Put buffer: %d frames in %3.1f seconds = %6.3f FPS", count,
                  static_cast<double>(elapsed), static_cast<double>(fps));
    return line;
}

void FpsCounter::tick() {
    tickAt(wallSeconds());
}

void FpsCounter::tickAt(int64_t nowSecond) {
    if (startSecond < 0)
        startSecond = nowSecond;
    ++count; // the tick that triggers a report is counted in it
    const int64_t elapsed = nowSecond - startSecond;
    if (elapsed >= 1) {
        logLine("****************************************");
        logLine("%s", fpsReportLine(count, elapsed).c_str());
        startSecond = nowSecond;
        count = 0;
    }
}

void* statisticsThread(void*) {
    FpsCounter counter;
    while (g_statsRunning.load(std::memory_order_acquire)) {
        if (!currentVout()) {
            sleepMs(100);
            continue;
        }
        sleepMs(g_frameIntervalMs.load(std::memory_order_relaxed));
        counter.tick();
    }
    return nullptr;
}

void stopStatisticsThread() {
    endWorker(g_statsThread, g_statsRunning, false);
}

void restartStatisticsThread(void* window) {
    stopStatisticsThread();
    g_statsRunning.store(true, std::memory_order_release);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, statisticsThread, window) == 0)
        g_statsThread = thread;
}
