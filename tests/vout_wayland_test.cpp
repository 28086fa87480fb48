// olm_vout on a Wayland compositor (a private headless Weston): pictures are checked by reading
// the compositor's pixels back.

#include "eventually.h"
#include "olm_vout.h"
#include "placement.h"
#include "presentation_timing.h"
#include "vout_helpers.h"
#include "wayland_host.h"
#include "wayland_screen.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

const Rgb kGrey{0x80, 0x80, 0x80};
const Rgb kBlack{0, 0, 0};
const Rgb kRed{255, 0, 0};

class VoutWayland : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(host.ready()) << "these tests need a Wayland compositor"; }
    void TearDown() override {
        if (vout)
            olm_vout_destroy(&vout);
    }
    olm_vout_t* createIn(int x, int y, int width, int height) {
        olm_vout_params params{};
        params.pool_depth = 3;
        params.wayland = {
            OLM_VOUT_PLATFORM_WAYLAND, host.display(),  host.surface(), int16_t(x), int16_t(y),
            uint16_t(width),           uint16_t(height)};
        olm_vout_t* made = olm_vout_create(&params);
        host.commit(); // the output's surfaces show with the host's next commit
        return made;
    }
    // The colour at each point, within tolerance, on the compositor's screen.
    using Points = std::vector<std::pair<std::pair<int, int>, Rgb>>;
    static bool shows(const Points& points, int tolerance = 4) {
        const Snapshot s = grabWaylandScreen();
        for (const auto& [at, colour] : points)
            if (s.width <= at.first || s.height <= at.second ||
                !near(s.at(at.first, at.second), colour, tolerance))
                return false;
        return true;
    }
    static std::string at(int x, int y) {
        const Snapshot s = grabWaylandScreen();
        return s.width > x && s.height > y ? toString(s.at(x, y)) : std::string("not read");
    }

    WaylandHost host{0x808080};
    olm_vout_t* vout = nullptr;
};

} // namespace

TEST_F(VoutWayland, ATurnedAnamorphicFullRangeHdPictureKeepsItsShapeAndColours) {
    vout = createIn(100, 80, 480, 240);
    ASSERT_NE(vout, nullptr);
    // (200, 150, 50) in full-range BT.709; 720x576 at 64:45 turned a quarter stands at 9:16.
    TestPicture p(720, 576, 153, 72, 158);
    p.record.matrix = OLM_VOUT_MATRIX_BT709;
    p.record.range = OLM_VOUT_RANGE_FULL;
    p.record.sar_num = 64;
    p.record.sar_den = 45;
    p.record.rotation = 90;
    ASSERT_EQ(p.putTo(vout), OLM_VOUT_OK);
    const Rgb colour{200, 150, 50};
    EXPECT_TRUE(eventually([&] {
        return shows({{{100 + 172 + 3, 80 + 3}, colour},
                      {{100 + 172 + 131, 80 + 236}, colour},
                      {{100 + 168, 200}, kBlack},
                      {{100 + 311, 200}, kBlack}});
    })) << "inside "
        << at(100 + 240, 200) << ", beside " << at(100 + 168, 200) << " and " << at(100 + 311, 200);
}

TEST_F(VoutWayland, EveryModeAndEveryMoveOfTheRectanglePlacesThePictureAsOnX11) {
    vout = createIn(40, 30, 480, 240);
    ASSERT_NE(vout, nullptr);
    const TestPicture red(640, 360, 81, 90, 240);
    ASSERT_EQ(red.putTo(vout), OLM_VOUT_OK);
    // The area's place is the host's to commit; its size and the picture's placement show at once.
    for (const olm::Rect area : {olm::Rect{40, 30, 480, 240}, olm::Rect{200, 100, 300, 400}}) {
        ASSERT_EQ(olm_vout_set_video_rect(vout, area.x, area.y, area.width, area.height),
                  OLM_VOUT_OK);
        host.commit();
        for (int mode : {VOUT_NORMAL, VOUT_4_3, VOUT_16_9, VOUT_PREFERRED}) {
            ASSERT_EQ(olm_vout_set_display_mode(vout, mode), OLM_VOUT_OK);
            const olm::Rect r = olm::placePicture(mode, 640, 360, area.width, area.height);
            const int left = area.x + r.x, top = area.y + r.y;
            // Inside, away from the edges the compositor filters; black beside, the host outside.
            Points points = {{{left + 2, top + 2}, kRed},
                             {{left + r.width - 3, top + r.height - 3}, kRed},
                             {{area.x - 3, area.y + area.height / 2}, kGrey},
                             {{area.x + area.width + 2, area.y + area.height / 2}, kGrey}};
            // Black just outside each edge of the picture that lies inside the area.
            if (r.x >= 3)
                points.push_back({{left - 3, top + r.height / 2}, kBlack});
            if (r.x + r.width + 3 <= area.width)
                points.push_back({{left + r.width + 2, top + r.height / 2}, kBlack});
            if (r.y >= 3)
                points.push_back({{left + r.width / 2, top - 3}, kBlack});
            if (r.y + r.height + 3 <= area.height)
                points.push_back({{left + r.width / 2, top + r.height + 2}, kBlack});
            EXPECT_TRUE(eventually([&] { return shows(points); }))
                << "mode " << mode << " in " << area.width << "x" << area.height << ": corner "
                << at(left + 2, top + 2);
        }
    }
    // An empty rectangle shows nothing of the output; the picture comes back with a size.
    ASSERT_EQ(olm_vout_set_video_rect(vout, 40, 30, 0, 0), OLM_VOUT_OK);
    EXPECT_TRUE(eventually([&] { return shows({{{200, 120}, kGrey}}); }));
    ASSERT_EQ(olm_vout_set_video_rect(vout, 40, 30, 480, 240), OLM_VOUT_OK);
    host.commit();
    EXPECT_TRUE(eventually([&] { return shows({{{280, 150}, kRed}}); }));
}

TEST_F(VoutWayland, EveryPictureIsAccountedForWithTheCompositorsTimes) {
    // With the compositor's presentation feedback, and with its frame callbacks standing in.
    for (bool frames : {false, true}) {
        if (frames)
            setenv("OLM_VOUT_NO_PRESENTATION", "1", 1);
        vout = createIn(0, 0, 640, 360);
        unsetenv("OLM_VOUT_NO_PRESENTATION");
        ASSERT_NE(vout, nullptr);
        const char* path = frames ? "frame callbacks" : "presentation feedback";
        olm_vout_timing timing{};
        timing.struct_size = sizeof timing;
        ASSERT_EQ(olm_vout_get_timing(vout, &timing), OLM_VOUT_OK);
        EXPECT_EQ(timing.path, uint32_t(frames ? OLM_VOUT_PATH_WAYLAND_FRAME
                                               : OLM_VOUT_PATH_WAYLAND_PRESENTATION));
        // Faster than the compositor shows them: at most one waits for each frame, the newest
        // wins.
        const TestPicture a(640, 360, 81, 90, 240), b(640, 360, 145, 54, 34);
        const int64_t first = olm::monotonicMicros();
        for (int i = 0; i < 100; ++i) {
            ASSERT_EQ((i % 2 ? a : b).putTo(vout), OLM_VOUT_OK);
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
        }
        ASSERT_TRUE(eventually([&] { return settled(vout); })) << path;
        const int64_t last = olm::monotonicMicros();
        const olm_vout_stats s = statsOf(vout);
        EXPECT_EQ(s.put, 100u);
        EXPECT_GT(s.presented, 10u) << path;
        EXPECT_GT(s.dropped, 0u) << path;
        EXPECT_TRUE(eventually([&] {
            return shows({{{320, 180}, kRed}});
        })) << path
            << ": the last picture put is the one shown";

        std::vector<olm_vout_presentation> records(256);
        uint32_t count = 0;
        ASSERT_EQ(olm_vout_get_presentations(vout, records.data(), 256, &count), OLM_VOUT_OK);
        EXPECT_EQ(count, s.presented);
        for (uint32_t i = 0; i < count; ++i) {
            // On the library's clock: put between the first put call and the end.
            const int64_t put = int64_t(records[i].screen_us) - records[i].latency_us;
            EXPECT_GE(put, first - 1000) << path << " " << i;
            EXPECT_LE(int64_t(records[i].screen_us), last + 1000) << path << " " << i;
            if (i) {
                EXPECT_GT(records[i].screen_us, records[i - 1].screen_us) << path << " " << i;
            }
        }
        ASSERT_EQ(olm_vout_get_timing(vout, &timing), OLM_VOUT_OK);
        if (frames)
            EXPECT_EQ(timing.refresh_period_us, 0u);
        else
            EXPECT_NEAR(double(timing.refresh_period_us), 16667, 1000);
        EXPECT_GT(timing.latency_p50_us, 0u) << path;
        ASSERT_EQ(olm_vout_destroy(&vout), OLM_VOUT_OK);
    }
}

TEST_F(VoutWayland, HiddenHostDrawsNothingAndShowsTheLastPictureAgain) {
    vout = createIn(0, 0, 640, 360);
    ASSERT_NE(vout, nullptr);
    const TestPicture red(320, 180, 81, 90, 240);
    ASSERT_EQ(red.putTo(vout), OLM_VOUT_OK);
    ASSERT_TRUE(eventually([&] { return statsOf(vout).presented == 1; }));
    host.setMapped(false);
    // No frame comes for a hidden surface: once the output has noticed, pictures are let go.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(red.putTo(vout), OLM_VOUT_OK);
    EXPECT_TRUE(eventually([&] { return settled(vout); }));
    EXPECT_EQ(statsOf(vout).presented, 1u);
    host.setMapped(true);
    EXPECT_TRUE(eventually([&] {
        return shows({{{320, 180}, kRed}});
    })) << "shown again: "
        << at(320, 180);
}

TEST_F(VoutWayland, RecordsAndRectanglesOutsideTheContractAreRefused) {
    auto refused = [&](olm_vout_params params, const char* reason) {
        testing::internal::CaptureStderr();
        olm_vout_t* made = olm_vout_create(&params);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(made, nullptr) << reason;
        EXPECT_NE(err.find(reason), std::string::npos) << err;
        if (made)
            olm_vout_destroy(&made);
    };
    olm_vout_params good{};
    good.wayland = {OLM_VOUT_PLATFORM_WAYLAND, host.display(), host.surface(), 0, 0, 64, 48};
    olm_vout_params p = good;
    p.wayland.display = nullptr;
    refused(p, "no Wayland display");
    p = good;
    p.wayland.surface = nullptr;
    refused(p, "no Wayland surface");
    p = good;
    p.window = 7;
    refused(p, "window id");
    if (sizeof(olm_vout_wayland_host) < sizeof p.reserved) { // bytes past it (32-bit pointers)
        p = good;
        p.reserved[sizeof p.reserved - 1] = 1;
        refused(p, "reserved bytes");
    }
    p = good;
    p.wayland.platform = 2;
    refused(p, "reserved bytes"); // no such platform: not an X11 record either

    vout = createIn(0, 0, 64, 48);
    ASSERT_NE(vout, nullptr);
    for (auto [x, y, w, h] : {std::tuple{0, 0, -1, 10},
                              {0, 0, 10, -1},
                              {0, 0, 32768, 10},
                              {40000, 0, 10, 10},
                              {0, -40000, 10, 10}})
        EXPECT_EQ(olm_vout_set_video_rect(vout, x, y, w, h), OLM_VOUT_E_INVALID)
            << x << "," << y << " " << w << "x" << h;
    EXPECT_EQ(olm_vout_set_video_rect(vout, -10, 20, 32767, 0), OLM_VOUT_OK);
    olm_vout_t* stale = vout;
    ASSERT_EQ(olm_vout_destroy(&vout), OLM_VOUT_OK);
    EXPECT_EQ(olm_vout_set_video_rect(stale, 0, 0, 10, 10), OLM_VOUT_E_HANDLE);
}

TEST_F(VoutWayland, CreateDestroyCyclesAndPutsRacingDestroyLeaveNothingBehind) {
    const int descriptors = openDescriptors();
    const TestPicture picture(320, 180, 81, 90, 240);
    for (int i = 0; i < 30; ++i) {
        vout = createIn(0, 0, 320, 180);
        ASSERT_NE(vout, nullptr) << "cycle " << i;
        std::thread putter([&, shared = vout] {
            for (int n = 0; n < 50; ++n) {
                const int rc = picture.putTo(shared);
                EXPECT_TRUE(rc == OLM_VOUT_OK || rc == OLM_VOUT_E_HANDLE || rc == OLM_VOUT_E_BUSY);
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 4));
        ASSERT_EQ(olm_vout_destroy(&vout), OLM_VOUT_OK);
        putter.join();
    }
    EXPECT_EQ(openDescriptors(), descriptors);
    vout = createIn(0, 0, 320, 180);
    ASSERT_EQ(picture.putTo(vout), OLM_VOUT_OK);
    EXPECT_TRUE(eventually([&] { return shows({{{160, 90}, kRed}}); }));
}
