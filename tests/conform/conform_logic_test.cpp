// The tester's own judgement, without an X server: reference colours against published values,
// expected rectangles, the pass / warn / fail bands of the judges, and the console's summary.

#include "checks/registry.h"
#include "checks/scene.h"
#include "judge/figure_judges.h"
#include "judge/picture_judges.h"
#include "judge/reference.h"
#include "report/report.h"
#include "run/command_line.h"
#include "run/drawing_paths.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>

namespace {

void expectYuv(Yuv got, int y, int u, int v) {
    EXPECT_EQ(got.y, y);
    EXPECT_EQ(got.u, u);
    EXPECT_EQ(got.v, v);
}

// A black window with the picture's colour over rect, then moved right by shift pixels.
QImage screenWith(int width, int height, const RectF& rect, QRgb colour, int shift = 0) {
    RectF moved = rect;
    moved.left += shift;
    moved.right += shift;
    return placementImage(width, height, moved, colour);
}

// The chroma cross as a decoder with chroma upsampling of its choice shows it at its own size:
// each pixel's chroma interpolated at chroma position (x + offset) / 2 - offset on each axis
// (offset 0.5 centre-sited bilinear, 0 co-sited: each pixel its own sample); with
// lastRowMissing, the last chroma row read as a copy of the one above (a fault).
QImage crossAsShown(const ChromaCross& cross, double offset, bool lastRowMissing = false) {
    QImage shot(cross.width, cross.height, QImage::Format_RGB32);
    const int cw = (cross.width + 1) / 2, ch = (cross.height + 1) / 2;
    auto sample = [&](int i, int j) {
        j = std::clamp(j, 0, ch - 1 - lastRowMissing);
        return cross.sampleAt(2 * std::clamp(i, 0, cw - 1), 2 * j);
    };
    for (int y = 0; y < cross.height; ++y)
        for (int x = 0; x < cross.width; ++x) {
            const double px = std::clamp((x + offset) / 2 - offset, 0.0, cw - 1.0);
            const double py = std::clamp((y + offset) / 2 - offset, 0.0, ch - 1.0);
            const int i = int(px), j = int(py);
            const double fx = px - i, fy = py - j;
            double u = 0, v = 0;
            for (int dj = 0; dj < 2; ++dj)
                for (int di = 0; di < 2; ++di) {
                    const double weight = (di ? fx : 1 - fx) * (dj ? fy : 1 - fy);
                    u += weight * sample(i + di, j + dj).u;
                    v += weight * sample(i + di, j + dj).v;
                }
            shot.setPixel(
                x, y,
                decode(Yuv{ChromaCross::kLuma, uint8_t(std::lround(u)), uint8_t(std::lround(v))},
                       kMatrices[0], OLM_VOUT_RANGE_LIMITED));
        }
    return shot;
}

} // namespace

TEST(ConformReference, EncodesToPublishedValues) {
    expectYuv(encode(qRgb(255, 0, 0), kMatrices[1], OLM_VOUT_RANGE_LIMITED), 63, 102, 240);
    expectYuv(encode(qRgb(255, 0, 0), kMatrices[0], OLM_VOUT_RANGE_LIMITED), 81, 90, 240);
    expectYuv(encode(qRgb(255, 255, 255), kMatrices[2], OLM_VOUT_RANGE_LIMITED), 235, 128, 128);
    expectYuv(encode(qRgb(255, 0, 0), kMatrices[0], OLM_VOUT_RANGE_FULL), 76, 85, 255);
    for (const ColourMatrix& m : kMatrices)
        for (int range : {OLM_VOUT_RANGE_LIMITED, OLM_VOUT_RANGE_FULL})
            for (QRgb c : standardSheet().colours)
                EXPECT_LE(channelDistance(decode(encode(c, m, range), m, range), c), 2)
                    << m.name << " range " << range << " " << rgbText(c);
    // The fault the matrix checks exist for: BT.709 read as BT.601 is far off.
    const Yuv red709 = encode(qRgb(220, 40, 40), kMatrices[1], OLM_VOUT_RANGE_LIMITED);
    EXPECT_GE(
        channelDistance(decode(red709, kMatrices[0], OLM_VOUT_RANGE_LIMITED), qRgb(220, 40, 40)),
        8);
}

TEST(ConformReference, PlacesEachModeAsLargeAsFitsAndCentred) {
    const RectF normal = expectedPlacement(VOUT_NORMAL, 320, 240, 0, 0, 320, 180);
    EXPECT_DOUBLE_EQ(normal.left, 40);
    EXPECT_DOUBLE_EQ(normal.width(), 240);
    const RectF wide = expectedPlacement(VOUT_16_9, 320, 240, 0, 0, 240, 240);
    EXPECT_DOUBLE_EQ(wide.top, 52.5);
    EXPECT_DOUBLE_EQ(wide.height(), 135);
    const RectF anamorphic = expectedPlacement(VOUT_NORMAL, 176, 144, 16, 11, 320, 180);
    EXPECT_NEAR(anamorphic.width(), 320, 1e-9);
    EXPECT_NEAR(anamorphic.height(), 180, 1e-9);
    const RectF squareWhenZero = expectedPlacement(VOUT_NORMAL, 120, 120, 5, 0, 320, 180);
    EXPECT_DOUBLE_EQ(squareWhenZero.width(), 180);
    const RectF preferred = expectedPlacement(VOUT_PREFERRED, 33, 17, 0, 0, 237, 151);
    EXPECT_DOUBLE_EQ(preferred.right, 237);
    EXPECT_DOUBLE_EQ(preferred.bottom, 151);
}

TEST(ConformJudges, PlacementPassesWithinAPixelWarnsAtTwoFailsBeyond) {
    const QRgb amber = kAmber;
    const RectF want = expectedPlacement(VOUT_NORMAL, 320, 240, 0, 0, 320, 180);
    EXPECT_EQ(judgePlacement(screenWith(320, 180, want, amber), want, amber, 0, "").result(),
              Result::Pass);
    EXPECT_EQ(judgePlacement(screenWith(320, 180, want, amber, 1), want, amber, 0, "").result(),
              Result::Pass);
    EXPECT_EQ(judgePlacement(screenWith(320, 180, want, amber, 2), want, amber, 0, "").result(),
              Result::Warn);
    const Verdict off = judgePlacement(screenWith(320, 180, want, amber, 3), want, amber, 0, "");
    EXPECT_EQ(off.result(), Result::Fail);
    EXPECT_NE(off.message().find("left edge at 43 instead of 40.0"), std::string::npos)
        << off.message();

    // The host showing through in a corner is neither black nor the picture.
    QImage leak = screenWith(320, 180, want, amber);
    leak.setPixel(5, 5, kHostBackground);
    const Verdict stray = judgePlacement(leak, want, amber, 0, "");
    EXPECT_EQ(stray.result(), Result::Fail);
    EXPECT_NE(stray.message().find("1 pixels that are not"), std::string::npos);
}

TEST(ConformJudges, ColourPassesWithinFourWarnsToSevenFailsFromEight) {
    const PatchSheet sheet = standardSheet();
    const std::vector<QRgb> want(sheet.colours.begin(), sheet.colours.end());
    auto judgeOffBy = [&](int off, int quantisation = 0) {
        std::vector<QRgb> shown = want;
        shown[2] = qRgb(qRed(want[2]) + off, qGreen(want[2]), qBlue(want[2]));
        return judgePatches(sheetImage(sheet, shown), sheet, want,
                            ColourLimits::forScreen(quantisation), "test")
            .result();
    };
    EXPECT_EQ(judgeOffBy(4), Result::Pass);
    EXPECT_EQ(judgeOffBy(5), Result::Warn);
    EXPECT_EQ(judgeOffBy(7), Result::Warn);
    EXPECT_EQ(judgeOffBy(8), Result::Fail);
    EXPECT_EQ(judgeOffBy(12, 9), Result::Pass); // a 16-bit screen's steps
}

TEST(ConformJudges, ChromaEdgesPassAnyUpsamplingAndFailALateChromaRow) {
    const ChromaCross cross{161, 97, 60, 36};
    const RectF where{0, 0, 161, 97};
    const ColourLimits limits = ColourLimits::forScreen(0);
    for (double offset : {0.0, 0.5}) // co-sited, and centre-sited bilinear (the textbook one)
        EXPECT_EQ(
            judgeChromaCross(crossAsShown(cross, offset), cross, where, 0.75, limits, "").result(),
            Result::Pass)
            << judgeChromaCross(crossAsShown(cross, offset), cross, where, 0.75, limits, "")
                   .message();
    const Verdict late =
        judgeChromaCross(crossAsShown(cross, 0, 1), cross, where, 0.75, limits, "");
    EXPECT_EQ(late.result(), Result::Fail);
}

TEST(ConformReports, ConsoleAndPageCountWarnAsPassedAndCrashAsFailed) {
    RunInfo run;
    run.checks = {{.name = "bench.a", .result = Result::Pass},
                  {.name = "bench.b", .result = Result::Warn, .message = "slow"},
                  {.name = "core.c", .result = Result::Crash, .message = "SIGSEGV"},
                  {.name = "core.d", .readsScreen = true, .result = Result::Unresolved},
                  {.name = "ext.e", .result = Result::Skip, .message = "the library has no x"}};
    EXPECT_EQ(consoleLine(run.checks[1]), "bench.b: WARN: slow");
    EXPECT_EQ(consoleLine(run.checks[2]), "core.c: CRASH: SIGSEGV");
    EXPECT_EQ(consoleLine(run.checks[4]), "ext.e: OK (skipped: the library has no x)");
    const std::string summary = consoleSummary(run);
    EXPECT_NE(summary.find("bench: 2 passed, 0 failed, 0 skipped"), std::string::npos) << summary;
    EXPECT_NE(summary.find("1 pixel checks unresolved"), std::string::npos) << summary;
    EXPECT_TRUE(summary.ends_with("\nnot conformant: 1 failed; 1 warning: bench.b\n"
                                  "2 passed, 1 failed, 2 skipped\n"))
        << summary;
    // Failed, crashed and timed out before unresolved, warned and skipped.
    const auto order = failuresFirst(run);
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(order[0]->name, "core.c");
    EXPECT_EQ(order[1]->name, "core.d");
    EXPECT_EQ(order[2]->name, "bench.b");

    // The page's headline says what the console's last lines say.
    QTemporaryDir dir;
    const std::string page = dir.filePath("index.html").toStdString();
    ASSERT_TRUE(writeHtmlReport(run, page));
    QFile file(QString::fromStdString(page));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const std::string html = file.readAll().toStdString();
    EXPECT_NE(html.find("X11: not conformant: 1 failed; 1 warning: bench.b</p>\n"
                        "<h1>2 passed, 1 failed, 2 skipped</h1>"),
              std::string::npos)
        << html.substr(0, 1200);
}

TEST(ConformReports, FailureFollowingAnEarlierOneNamesItsCause) {
    const std::vector<CheckRecord> earlier = {
        {.name = "ext.get_timing.path",
         .result = Result::Fail,
         .message = "the server offers X Present; the library reports OLM_VOUT_PATH_PUT_IMAGE"},
        {.name = "core.a", .result = Result::Pass}};
    CheckRecord symptom{.name = "ext.b", .result = Result::Fail, .message = "two pictures at one"};
    attributeToCause(symptom, {"core.a", "ext.get_timing.path"}, earlier);
    EXPECT_EQ(symptom.message, "follows from ext.get_timing.path: the server offers X Present; "
                               "the library reports OLM_VOUT_PATH_PUT_IMAGE");
    EXPECT_EQ(symptom.output, "Its own symptom: two pictures at one\n");
    // A failure whose prerequisites passed keeps its own message.
    CheckRecord own{.name = "ext.c", .result = Result::Timeout, .message = "destroy hung"};
    attributeToCause(own, {"core.a"}, earlier);
    EXPECT_EQ(own.message, "destroy hung");
    // A cause counts on the failure's own path only, and is named with its path.
    const std::vector<CheckRecord> onPaths = {
        {.name = "ext.p", .result = Result::Fail, .message = "late", .path = "mit-shm",
         .pathLabel = "MIT-SHM"}};
    CheckRecord elsewhere{.name = "ext.q", .result = Result::Fail, .message = "own",
                          .path = "present"};
    attributeToCause(elsewhere, {"ext.p"}, onPaths);
    EXPECT_EQ(elsewhere.message, "own");
    CheckRecord same{.name = "ext.q", .result = Result::Fail, .message = "own", .path = "mit-shm"};
    attributeToCause(same, {"ext.p"}, onPaths);
    EXPECT_EQ(same.message, "follows from ext.p [MIT-SHM]: late");
}

// The paths a run takes: what the server offers, the default one first with no switches, and
// a path asked for that the server or the environment rules out refused with the reason.
TEST(ConformPaths, OfferedPathsDefaultFirstAndRefusalsNamed) {
    auto ids = [](const std::vector<DrawingPath>& paths) {
        std::string text;
        for (const DrawingPath& path : paths)
            text += path.id + (path.environment.empty() ? "" : "+") + " ";
        return text;
    };
    ServerInfo x11;
    x11.offersPresent = x11.offersShm = true;
    std::string error;
    EXPECT_EQ(ids(choosePaths({}, x11, &error)), "present mit-shm+ put-image+ ");
    ServerInfo noPresent = x11;
    noPresent.offersPresent = false;
    EXPECT_EQ(ids(choosePaths({"all"}, noPresent, &error)), "mit-shm put-image+ ");
    EXPECT_EQ(ids(choosePaths({"put-image", "default"}, noPresent, &error)), "mit-shm put-image+ ");
    EXPECT_TRUE(choosePaths({"present"}, noPresent, &error).empty());
    EXPECT_EQ(error, "cannot check the path present: the server offers no X Present");
    setenv("OLM_VOUT_NO_SHM", "1", 1);
    EXPECT_EQ(ids(choosePaths({}, x11, &error)), "present put-image+ ");
    unsetenv("OLM_VOUT_NO_SHM");
    ServerInfo wayland;
    wayland.wayland = true;
    EXPECT_EQ(ids(choosePaths({}, wayland, &error)), "frame-callbacks ");
    error.clear();
    EXPECT_TRUE(choosePaths({"mit-shm"}, wayland, &error).empty());
    EXPECT_NE(error.find("unknown path \"mit-shm\" on Wayland"), std::string::npos) << error;
    // A path's switches go again once it is done, and what the environment held comes back.
    setenv("OLM_VOUT_NO_PRESENT", "keep", 1);
    DrawingPath shm = choosePaths({}, x11, &error)[1];
    shm.apply();
    EXPECT_STREQ(std::getenv("OLM_VOUT_NO_PRESENT"), "1");
    shm.restore();
    EXPECT_STREQ(std::getenv("OLM_VOUT_NO_PRESENT"), "keep");
    unsetenv("OLM_VOUT_NO_PRESENT");
}

TEST(ConformCommandLine, FiltersRepeatAndBadValuesAreNamed) {
    const auto parsed = parseCommandLine({"--filter", "core.*", "--filter", "ext.get_*", "--xvfb"});
    EXPECT_TRUE(parsed.error.empty());
    EXPECT_EQ(parsed.options.filters.size(), 2u);
    EXPECT_EQ(selectChecks(allChecks(), parsed.options.filters).front().name.substr(0, 5), "core.");
    EXPECT_NE(parseCommandLine({"--timeout-factor", "fast"}).error.find("\"fast\""),
              std::string::npos);
    EXPECT_NE(parseCommandLine({"--report"}).error.find("needs a value"), std::string::npos);
    EXPECT_TRUE(selectChecks(allChecks(), {"nothing.*"}).empty());
}

TEST(ConformFigures, RecordsTimingAndCountersAgainstWhatTheTesterSaw) {
    // Two puts, each seen on screen 20 ms later; the records agree.
    const std::vector<PutWindow> puts = {{1000, 1100, 30000}, {50000, 50100, 80000}};
    std::vector<olm_vout_presentation> records = {{17000, 16000, 7}, {66700, 16650, 10}};
    EXPECT_EQ(judgePresentations(records, OLM_VOUT_PATH_PRESENT, puts, 90000).result(),
              Result::Pass);
    // Latencies in milliseconds put the puts where no put call ran.
    auto inMs = records;
    for (auto& r : inMs)
        r.latency_us /= 1000;
    EXPECT_NE(judgePresentations(inMs, OLM_VOUT_PATH_PRESENT, puts, 90000)
                  .message()
                  .find("when no put call was running"),
              std::string::npos);
    auto sameRefresh = records;
    sameRefresh[1].refresh = 7;
    EXPECT_NE(judgePresentations(sameRefresh, OLM_VOUT_PATH_PRESENT, puts, 90000)
                  .message()
                  .find("two pictures at one refresh"),
              std::string::npos);
    auto outOfOrder = records;
    std::swap(outOfOrder[0], outOfOrder[1]);
    EXPECT_NE(judgePresentations(outOfOrder, OLM_VOUT_PATH_PRESENT, puts, 90000)
                  .message()
                  .find("records out of order"),
              std::string::npos);

    olm_vout_timing t{};
    t.path = OLM_VOUT_PATH_PRESENT;
    t.refresh_period_us = 16667;
    t.latency_p50_us = 16000;
    t.latency_p95_us = 16000; // of two, place (2 - 1) * 95 / 100 = 0
    t.latency_max_us = 16650;
    EXPECT_EQ(judgeTiming(t, records, 16667).result(), Result::Pass);
    t.latency_p95_us = 16650; // place 2 * 95 / 100: counted from n, not n - 1
    EXPECT_NE(judgeTiming(t, records, 16667).message().find("(n - 1) * 95 / 100"),
              std::string::npos);
    t.latency_p95_us = 16000;
    t.refresh_period_us = 16; // milliseconds
    EXPECT_EQ(judgeTiming(t, records, 16667).result(), Result::Fail);
    EXPECT_EQ(judgeTiming(olm_vout_timing{}, records, 0).result(),
              Result::Fail); // latencies all 0

    // Dropped pictures counted as presented: more presented than records.
    EXPECT_EQ(judgeCounters({30, 23, 7}, 30, 1, 4).result(), Result::Fail);
    EXPECT_EQ(judgeCounters({30, 4, 26}, 30, 1, 4).result(), Result::Pass);
}
