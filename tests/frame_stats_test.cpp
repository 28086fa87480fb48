// Frames-per-second reports: the counter with given clock readings, the wall clock, and the
// statistics thread with and without an output.

#include "eventually.h"
#include "frame_stats.h"
#include "shared_state.h"
#include "stream_capture.h"
#include "threads.h"
#include "xhelpers.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string kStars = "****************************************\n";

std::string report(int count, const char* seconds, const char* fps) {
    return kStars + "Put buffer: " + std::to_string(count) + " frames in " + seconds +
           " seconds = " + fps + " FPS\n";
}

// Runs ticks at the given whole seconds and returns what was printed.
std::string ticksAt(FpsCounter& counter, std::initializer_list<std::pair<int64_t, int>> ticks) {
    testing::internal::CaptureStdout();
    for (auto [second, times] : ticks)
        for (int i = 0; i < times; ++i)
            counter.tickAt(second);
    return testing::internal::GetCapturedStdout();
}

size_t reportsIn(const std::string& out) {
    size_t reports = 0;
    for (size_t at = out.find("Put buffer: "); at != std::string::npos;
         at = out.find("Put buffer: ", at + 1))
        ++reports;
    return reports;
}

} // namespace

TEST(FpsCounter, ReportLinesCarryCountElapsedAndRate) {
    EXPECT_EQ(fpsReportLine(47, 1), "Put buffer: 47 frames in 1.0 seconds = 47.000 FPS");
    EXPECT_EQ(fpsReportLine(100, 3), "Put buffer: 100 frames in 3.0 seconds = 33.333 FPS");
    EXPECT_EQ(fpsReportLine(5, 30), "Put buffer: 5 frames in 30.0 seconds =  0.167 FPS");

    FpsCounter counter;
    EXPECT_EQ(ticksAt(counter, {{1000, 46}}), "") << "no whole second yet";
    EXPECT_EQ(ticksAt(counter, {{1001, 1}}), report(47, "1.0", "47.000"));
    EXPECT_EQ(counter.count, 0);
    EXPECT_EQ(counter.startSecond, 1001);
    // The window runs from the last report's tick; the first tick of a later second reports.
    EXPECT_EQ(ticksAt(counter, {{1001, 50}, {1003, 50}}), report(51, "2.0", "25.500"));
    EXPECT_EQ(counter.count, 49);
}

TEST(FpsCounter, FirstWindowStartsAtTheFirstTickAndGapsCountWhole) {
    FpsCounter counter;
    EXPECT_EQ(counter.startSecond, -1);
    // The first tick may come late in its second; the report still says 1.0 seconds.
    EXPECT_EQ(ticksAt(counter, {{500, 3}, {501, 1}}), report(4, "1.0", " 4.000"));
    // Ticks stop for 30 seconds (no output); the next report spans the whole gap.
    EXPECT_EQ(ticksAt(counter, {{501, 2}, {531, 1}}), report(3, "30.0", " 0.100"));
}

TEST(FpsCounter, ReportsGoOnPastJanuary2038) {
    const int64_t last32 = INT32_MAX; // 2038-01-19 03:14:07 UTC
    FpsCounter counter;
    EXPECT_EQ(ticksAt(counter, {{last32 - 1, 5}, {last32, 1}}), report(6, "1.0", " 6.000"));
    EXPECT_EQ(ticksAt(counter, {{last32 + 1, 9}}), report(1, "1.0", " 1.000"));
    EXPECT_EQ(ticksAt(counter, {{last32 + 2, 2}}), report(9, "1.0", " 9.000"));
    WallTime t{};
    wallClockAt(timespec{time_t(last32) + 86400 * 365, 0}, &t); // a year later
    EXPECT_EQ(t.seconds, last32 + 86400 * 365);
}

TEST(WallClock, FollowsTheLocalCalendarTimeToTheMillisecond) {
    tm noon{};
    const time_t today = time(nullptr);
    localtime_r(&today, &noon);
    noon.tm_hour = 12;
    noon.tm_min = 0;
    noon.tm_sec = 0;
    noon.tm_isdst = -1;
    const time_t noonSeconds = mktime(&noon);
    const timespec at{noonSeconds, 250'000'000};
    EXPECT_DOUBLE_EQ(wallSecondsExactAt(at), double(noonSeconds) + 0.25);
    WallTime t{};
    wallClockAt(timespec{noonSeconds, 999'999'999}, &t);
    EXPECT_EQ(t.seconds, int64_t(noonSeconds));
    EXPECT_EQ(t.microseconds, 999000);
    EXPECT_NEAR(wallSeconds(), double(time(nullptr)), 1.0);
}

TEST(LogLine, PrintsOneLineAndCutsOverlongText) {
    testing::internal::CaptureStdout();
    logLine("%s %d", "frames", 7);
    logLine("%s", std::string(5000, 'x').c_str());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "frames 7\n" + std::string(4095, 'x') + "\n");
}

class StatisticsThread : public ::testing::Test {
protected:
    void TearDown() override {
        stopStatisticsThread();
        if (currentVout())
            olm_vout_destroy(&g_vout);
        if (host)
            destroyPlainWindow(host);
    }
    void createOutput() {
        host = createPlainWindow(64, 48);
        olm_vout_params params{};
        params.window = host;
        setCurrentVout(olm_vout_create(&params));
        ASSERT_NE(currentVout(), nullptr);
    }
    uint32_t host = 0;
};

TEST_F(StatisticsThread, WithoutOutputItWaitsQuietlyAndStopsPromptly) {
    StreamCapture out(STDOUT_FILENO);
    restartStatisticsThread(nullptr);
    ASSERT_TRUE(g_statsThread.has_value());
    // Over more than a whole second without an output it says nothing; once an output exists it
    // reports, so it was polling all along.
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(out.text(), "");
    createOutput();
    EXPECT_TRUE(eventually([&] { return reportsIn(out.text()) > 0; }, 15000)) << out.text();
    olm_vout_destroy(&g_vout);
    // Polling every 100 ms, it sees the stop request at once.
    const auto start = std::chrono::steady_clock::now();
    stopStatisticsThread();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2000ms);
    EXPECT_FALSE(g_statsThread.has_value());
    EXPECT_FALSE(g_statsRunning.load());
    stopStatisticsThread(); // nothing to stop: nothing happens
    EXPECT_FALSE(g_statsRunning.load());
}

TEST_F(StatisticsThread, WithOutputItReportsEachSecondAtTheFrameInterval) {
    createOutput();
    g_frameIntervalMs = 100;
    StreamCapture out(STDOUT_FILENO);
    restartStatisticsThread(nullptr);
    const int threads = threadCount();
    restartStatisticsThread(nullptr); // the first one is ended, a fresh one counts
    EXPECT_TRUE(g_statsThread.has_value());
    EXPECT_EQ(threadCount(), threads);
    EXPECT_TRUE(eventually([&] { return reportsIn(out.text()) >= 3; }, 20000)) << out.text();
    stopStatisticsThread();
    const std::string text = out.text();
    // Each second of ticks at 100 ms counts at most 10 frames.
    for (size_t at = text.find("Put buffer: "); at != std::string::npos;
         at = text.find("Put buffer: ", at + 1)) {
        int count = 0;
        float seconds = 0, fps = 0;
        ASSERT_EQ(std::sscanf(text.c_str() + at, "Put buffer: %d frames in %f seconds = %f FPS",
                              &count, &seconds, &fps),
                  3);
        EXPECT_GE(seconds, 1.0f);
        EXPECT_LE(count, 10 * int(seconds) + 1) << text;
        EXPECT_GE(count, 1);
    }
    EXPECT_EQ(text.find(kStars), 0u);
    g_frameIntervalMs = 30;
}
