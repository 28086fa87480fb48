// olm_vout on the refresh of an Xvfb screen (-fakescreenfps, its rate in LUMIVAREX_SCREEN_FPS):
// which path presents, one picture per refresh, latency and period as measured, pixels alike on
// both paths, and hidden windows left alone.

#include "eventually.h"
#include "olm_vout.h"
#include "vout_helpers.h"
#include "xhelpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

int screenFps() {
    const char* fps = std::getenv("LUMIVAREX_SCREEN_FPS");
    return fps ? std::atoi(fps) : 0;
}

// A picture with a gradient in every plane, so that both paths must agree on every pixel.
struct Gradient : TestPicture {
    Gradient(int w, int h, int shift) : TestPicture(w, h, 0, 0, 0) {
        for (int r = 0; r < h; ++r)
            for (int c = 0; c < w; ++c)
                row(0, r)[c] = uint8_t(16 + (c + r + shift) % 220);
        for (int r = 0; r < (h + 1) / 2; ++r) {
            for (int c = 0; c < (w + 1) / 2; ++c) {
                row(1, r)[c] = uint8_t(64 + (3 * (r + c) + shift) % 128);
                row(2, r)[c] = uint8_t(192 - (5 * r + c + shift) % 128);
            }
        }
    }
};

olm_vout_timing timingOf(olm_vout_t* vout) {
    olm_vout_timing t{};
    t.struct_size = sizeof t;
    EXPECT_EQ(olm_vout_get_timing(vout, &t), OLM_VOUT_OK);
    return t;
}

std::vector<olm_vout_presentation> presentationsOf(olm_vout_t* vout) {
    std::vector<olm_vout_presentation> records(256);
    uint32_t count = 0;
    EXPECT_EQ(olm_vout_get_presentations(vout, records.data(), 256, &count), OLM_VOUT_OK);
    records.resize(count);
    return records;
}

class VoutPresent : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GT(screenFps(), 0)
            << "run on an Xvfb with -fakescreenfps N, N in LUMIVAREX_SCREEN_FPS";
        periodUs = 1'000'000 / screenFps();
        host = createPlainWindow(320, 240);
    }
    void TearDown() override {
        if (vout)
            olm_vout_destroy(&vout);
        destroyPlainWindow(host);
    }
    int periodUs = 0;
    uint32_t host = 0;
    olm_vout_t* vout = nullptr;
};

} // namespace

TEST_F(VoutPresent, PresentsOnePicturePerRefreshAtTheServersRate) {
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    EXPECT_EQ(timingOf(vout).path, uint32_t(OLM_VOUT_PATH_PRESENT));
    const Gradient a(320, 240, 0), b(320, 240, 50);
    // Pictures far faster than the screen shows them, for about a second.
    const auto end = std::chrono::steady_clock::now() + 1s;
    for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
        ASSERT_EQ((i % 2 ? a : b).putTo(vout), OLM_VOUT_OK);
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_TRUE(eventually([&] { return settled(vout); }));
    const olm_vout_stats s = statsOf(vout);
    EXPECT_GT(s.dropped, s.presented) << "most pictures are superseded before their refresh";
    EXPECT_LE(s.presented, uint64_t(screenFps()) + 3);

    const auto records = presentationsOf(vout);
    ASSERT_GE(records.size(), size_t(screenFps() / 2));
    // By the server's refresh counter: completion times jitter with the fake refresh's timer.
    for (size_t i = 1; i < records.size(); ++i)
        EXPECT_GT(records[i].refresh, records[i - 1].refresh)
            << "two pictures in one refresh at " << i;
    const olm_vout_timing t = timingOf(vout);
    EXPECT_NEAR(double(t.refresh_period_us), periodUs, periodUs * 0.05);
    EXPECT_LT(t.missed_refreshes, s.presented / 4) << "a light load keeps its refreshes";
    // An older, shorter record is filled only as far as it reaches.
    olm_vout_timing shorter{};
    std::memset(&shorter, 0xab, sizeof shorter);
    shorter.struct_size = 12;
    ASSERT_EQ(olm_vout_get_timing(vout, &shorter), OLM_VOUT_OK);
    EXPECT_EQ(shorter.path, uint32_t(OLM_VOUT_PATH_PRESENT));
    EXPECT_EQ(shorter.refresh_period_us, t.refresh_period_us);
    EXPECT_EQ(shorter.latency_p50_us, 0xababababu) << "past struct_size: untouched";
    EXPECT_EQ(shorter.struct_size, 12u);
    shorter.struct_size = 4;
    EXPECT_EQ(olm_vout_get_timing(vout, &shorter), OLM_VOUT_E_INVALID);
    EXPECT_GT(t.latency_p50_us, 0u);
    // A newer caller's larger record: filled as far as this version knows, the rest untouched.
    struct {
        olm_vout_timing timing;
        uint64_t newer;
    } larger;
    std::memset(&larger, 0xab, sizeof larger);
    larger.timing.struct_size = sizeof larger;
    ASSERT_EQ(olm_vout_get_timing(vout, &larger.timing), OLM_VOUT_OK);
    EXPECT_EQ(larger.timing.refresh_period_us, t.refresh_period_us);
    EXPECT_EQ(larger.timing.missed_refreshes, t.missed_refreshes);
    EXPECT_EQ(larger.newer, 0xababababababababu);
    EXPECT_EQ(larger.timing.struct_size, sizeof larger);

    // Fewer records than are kept: the newest ones, oldest first; none; no place to put them.
    std::vector<olm_vout_presentation> newest(3);
    uint32_t count = 99;
    ASSERT_EQ(olm_vout_get_presentations(vout, newest.data(), 3, &count), OLM_VOUT_OK);
    ASSERT_EQ(count, 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(newest[i].screen_us, records[records.size() - 3 + i].screen_us);
    ASSERT_EQ(olm_vout_get_presentations(vout, newest.data(), 0, &count), OLM_VOUT_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(olm_vout_get_presentations(vout, nullptr, 3, &count), OLM_VOUT_E_HANDLE);
    EXPECT_EQ(olm_vout_get_presentations(vout, newest.data(), 3, nullptr), OLM_VOUT_E_HANDLE);
}

TEST_F(VoutPresent, PictureJustAfterARefreshIsOnScreenWithinTwoPeriods) {
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    const Gradient picture(320, 240, 7);
    std::vector<uint32_t> latencies;
    for (int i = 0; i < 12; ++i) {
        // A completion has just been seen: the screen refreshed a moment ago.
        const uint64_t presented = statsOf(vout).presented;
        ASSERT_EQ(picture.putTo(vout), OLM_VOUT_OK);
        ASSERT_TRUE(eventually([&] { return statsOf(vout).presented > presented; }, 2000));
        const uint64_t seen = statsOf(vout).presented;
        ASSERT_EQ(picture.putTo(vout), OLM_VOUT_OK);
        ASSERT_TRUE(eventually([&] { return statsOf(vout).presented > seen; }, 2000));
        latencies.push_back(presentationsOf(vout).back().latency_us);
    }
    std::sort(latencies.begin(), latencies.end());
    EXPECT_LE(latencies[latencies.size() / 2], uint32_t(2 * periodUs))
        << "median of " << latencies.size() << ", slowest " << latencies.back() << " us";
}

TEST_F(VoutPresent, BothPathsShowTheSamePixels) {
    // Present from shared-memory pixmaps (host), and beside it PutImage into the window, then
    // Present from pixmaps filled with PutImage.
    const uint32_t other = createPlainWindow(320, 240, 400, 0); // beside, not over, the host
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    for (bool present : {false, true}) {
        olm_vout_t* compared = createOn(other, !present, true);
        ASSERT_NE(compared, nullptr);
        EXPECT_EQ(timingOf(compared).path,
                  uint32_t(present ? OLM_VOUT_PATH_PRESENT : OLM_VOUT_PATH_PUT_IMAGE));
        for (int mode : {VOUT_NORMAL, VOUT_16_9}) {
            olm_vout_set_display_mode(vout, mode);
            olm_vout_set_display_mode(compared, mode);
            const Gradient picture(301, 201, mode + 3 * present); // odd sizes, scaled
            ASSERT_EQ(picture.putTo(vout), OLM_VOUT_OK);
            ASSERT_EQ(picture.putTo(compared), OLM_VOUT_OK);
            ASSERT_TRUE(eventually([&] { return settled(vout) && settled(compared); }));
            EXPECT_TRUE(eventually([&] {
                const Snapshot p = grabWindow(host), q = grabWindow(other);
                return p.width == 320 && p.pixels == q.pixels && !(p.at(160, 120) == Rgb{});
            })) << "mode "
                << mode << (present ? ", Present without shared memory" : ", PutImage");
        }
        olm_vout_destroy(&compared);
    }
    destroyPlainWindow(other);
}

TEST_F(VoutPresent, HiddenWindowsAreNotDrawnIntoAndShowTheLastPictureAgain) {
    const Gradient first(320, 240, 0), last(320, 240, 90);
    // What the last picture looks like in a window of this size.
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    ASSERT_EQ(last.putTo(vout), OLM_VOUT_OK);
    Snapshot shown;
    ASSERT_TRUE(eventually([&] {
        return statsOf(vout).presented == 1 && !((shown = grabWindow(host)).at(5, 5) == Rgb{});
    }));
    auto showFirst = [&] {
        const uint64_t presented = statsOf(vout).presented;
        ASSERT_EQ(first.putTo(vout), OLM_VOUT_OK);
        ASSERT_TRUE(eventually([&] { return statsOf(vout).presented > presented; }));
    };
    // Ends with the last picture; none of them may be drawn.
    auto putWhileHidden = [&] {
        const uint64_t presented = statsOf(vout).presented;
        for (int i = 0; i < 10; ++i) {
            ASSERT_EQ((i % 2 ? last : first).putTo(vout), OLM_VOUT_OK);
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_TRUE(eventually([&] { return settled(vout); }));
        EXPECT_EQ(statsOf(vout).presented, presented) << "nothing drawn while hidden";
    };
    auto showsLast = [&](uint32_t window) {
        return eventually([&] { return grabWindow(window).pixels == shown.pixels; });
    };

    showFirst();
    setMapped(host, false);
    putWhileHidden();
    setMapped(host, true);
    EXPECT_TRUE(showsLast(host)) << "mapped again: the last picture put is shown";

    showFirst();
    const uint32_t cover = createPlainWindow(400, 300); // fully over the host
    putWhileHidden();
    destroyPlainWindow(cover);
    EXPECT_TRUE(showsLast(host)) << "uncovered: the last picture put is shown";
    olm_vout_destroy(&vout);

    // A host that is not mapped yet when the output is made.
    setMapped(host, false);
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    putWhileHidden();
    setMapped(host, true);
    EXPECT_TRUE(showsLast(host)) << "created unmapped, then mapped";
    olm_vout_destroy(&vout);

    // A host inside a top level that is unmapped (minimised): the host itself stays mapped.
    const uint32_t top = createPlainWindow(400, 300, 0, 0);
    const uint32_t inner = createPlainWindow(320, 240, 0, 0, top);
    vout = createOn(inner);
    ASSERT_NE(vout, nullptr);
    showFirst();
    setMapped(top, false);
    putWhileHidden();
    setMapped(top, true);
    EXPECT_TRUE(showsLast(inner)) << "its top level mapped again";
    olm_vout_destroy(&vout);
    destroyPlainWindow(top);
}
