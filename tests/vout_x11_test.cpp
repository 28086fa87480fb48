// olm_vout against a real X server: pictures are checked by reading pixels back.

#include "eventually.h"
#include "olm_vout.h"
#include "placement.h"
#include "xhelpers.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Yuv {
    uint8_t y, u, v;
};

// BT.601 limited range, as the library converts.
Rgb expectedRgb(Yuv c) {
    const double y = 1.164 * (c.y - 16), u = c.u - 128.0, v = c.v - 128.0;
    auto clamp = [](double x) { return int(std::lround(std::min(255.0, std::max(0.0, x)))); };
    return {clamp(y + 1.596 * v), clamp(y - 0.813 * v - 0.391 * u), clamp(y + 2.018 * u)};
}

const Yuv kRed{81, 90, 240};
const Yuv kGreen{145, 54, 34};
const Yuv kBlue{41, 240, 110};
const Yuv kWhite{235, 128, 128};
const Rgb kBlack{0, 0, 0};
constexpr int kTolerance = 4;

struct SolidPicture {
    int stride, width, height;
    std::vector<uint8_t> y, u, v;
    SolidPicture(int width_, int height_, Yuv c, int stride_ = 0)
        : stride(stride_ ? stride_ : width_), width(width_), height(height_),
          y(size_t(stride) * height, c.y), u(size_t((stride + 1) / 2) * ((height + 1) / 2), c.u),
          v(u.size(), c.v) {}
    int putTo(olm_vout_t* vout) const {
        return olm_vout_put_buffer_pool_yuv(vout, y.data(), u.data(), v.data(), stride, width,
                                            height);
    }
};

olm_vout_t* createOn(uint32_t window) {
    olm_vout_params params{};
    params.window = window;
    params.pool_depth = 3;
    return olm_vout_create(&params);
}

olm_vout_stats statsOf(olm_vout_t* vout) {
    olm_vout_stats s{};
    EXPECT_EQ(olm_vout_get_stats(vout, &s), OLM_VOUT_OK);
    return s;
}

uint32_t onlyChild(uint32_t window) {
    const auto children = childWindows(window);
    return children.size() == 1 ? children[0] : 0;
}

bool pixelIs(uint32_t window, int x, int y, Rgb expected) {
    const Snapshot s = grabWindow(window);
    return s.width > x && s.height > y && near(s.at(x, y), expected, kTolerance);
}

int openDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

class VoutX11 : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "these tests need an X server";
        host = createPlainWindow(480, 240);
    }
    void TearDown() override {
        if (vout)
            olm_vout_destroy(&vout);
        destroyPlainWindow(host);
    }
    uint32_t host = 0;
    olm_vout_t* vout = nullptr;
};

} // namespace

TEST_F(VoutX11, SolidColoursReadBackAsBt601LimitedRange) {
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    int32_t mode = -1;
    ASSERT_EQ(olm_vout_get_display_mode(vout, &mode), OLM_VOUT_OK);
    EXPECT_EQ(mode, VOUT_NORMAL);
    ASSERT_EQ(olm_vout_set_display_mode(vout, VOUT_PREFERRED), OLM_VOUT_OK);

    for (Yuv colour : {kRed, kGreen, kBlue, kWhite, Yuv{16, 128, 128}, Yuv{126, 128, 128}}) {
        ASSERT_EQ(SolidPicture(320, 240, colour).putTo(vout), OLM_VOUT_OK);
        const Rgb want = expectedRgb(colour);
        EXPECT_TRUE(eventually([&] { return pixelIs(host, 240, 120, want); }))
            << "want " << toString(want) << " got " << toString(grabWindow(host).at(240, 120));
    }
}

TEST_F(VoutX11, EveryModePlacesPictureWithBlackAround) {
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    for (auto [pw, ph] : {std::pair{320, 240}, {640, 360}}) {
        ASSERT_EQ(SolidPicture(pw, ph, kWhite).putTo(vout), OLM_VOUT_OK);
        for (int mode : {VOUT_NORMAL, VOUT_4_3, VOUT_16_9, VOUT_PREFERRED}) {
            ASSERT_EQ(olm_vout_set_display_mode(vout, mode), OLM_VOUT_OK);
            const olm::Rect r = olm::placePicture(mode, pw, ph, 480, 240);
            const Rgb white = expectedRgb(kWhite);
            // Inside each edge of the rectangle: picture; outside: black.
            auto inside = [&](const Snapshot& s) {
                return near(s.at(r.x, r.y), white, kTolerance) &&
                       near(s.at(r.x + r.width - 1, r.y + r.height - 1), white, kTolerance) &&
                       near(s.at(r.x + r.width / 2, r.y + r.height / 2), white, kTolerance);
            };
            auto outside = [&](const Snapshot& s) {
                bool ok = true;
                if (r.x > 0)
                    ok = ok && s.at(r.x - 1, r.y + r.height / 2) == kBlack && s.at(0, 0) == kBlack;
                if (r.x + r.width < 480)
                    ok = ok && s.at(r.x + r.width, r.y + r.height / 2) == kBlack;
                if (r.y > 0)
                    ok = ok && s.at(r.x + r.width / 2, r.y - 1) == kBlack;
                if (r.y + r.height < 240)
                    ok = ok && s.at(r.x + r.width / 2, r.y + r.height) == kBlack;
                return ok;
            };
            EXPECT_TRUE(eventually([&] {
                const Snapshot s = grabWindow(host);
                return s.width == 480 && inside(s) && outside(s);
            })) << "picture "
                << pw << "x" << ph << " mode " << mode << " rect " << r.x << "," << r.y << " "
                << r.width << "x" << r.height;
        }
    }
}

TEST_F(VoutX11, ChildFollowsResizeAndRedrawsOnExposeWithoutNewPictures) {
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    ASSERT_TRUE(eventually([&] { return onlyChild(host) != 0; }));
    const uint32_t child = onlyChild(host);
    ASSERT_EQ(SolidPicture(320, 240, kRed).putTo(vout), OLM_VOUT_OK);
    const Rgb red = expectedRgb(kRed);
    ASSERT_TRUE(eventually([&] { return pixelIs(host, 240, 120, red); }));

    resizeWindow(host, 200, 400);
    EXPECT_TRUE(eventually([&] { return windowSize(child) == std::pair{200, 400}; }));
    // 4:3 in 200x400: 200x150 centred vertically.
    EXPECT_TRUE(eventually([&] {
        const Snapshot s = grabWindow(host);
        return s.height == 400 && near(s.at(100, 200), red, kTolerance) &&
               s.at(100, 100) == kBlack && s.at(100, 300) == kBlack;
    }));

    const uint64_t presented = statsOf(vout).presented;
    remapWindow(host); // the server forgets the contents; only a redraw brings them back
    EXPECT_TRUE(eventually([&] { return pixelIs(host, 100, 200, red); }));
    EXPECT_EQ(statsOf(vout).presented, presented) << "a redraw is not a new picture";

    olm_vout_set_display_mode(vout, VOUT_PREFERRED);
    EXPECT_TRUE(eventually([&] { return pixelIs(host, 100, 10, red); }))
        << "a mode change redraws the last picture at once";
}

TEST_F(VoutX11, ChildWindowLeavesPointerEventsToTheHost) {
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    ASSERT_TRUE(eventually([&] { return onlyChild(host) != 0; }));
    olm_vout_destroy(&vout);
    EXPECT_EQ(vout, nullptr);
    EXPECT_TRUE(childWindows(host).empty()) << "destroy removes the child window";
}

TEST_F(VoutX11, PlainPutImageWorksWithoutSharedMemory) {
    setenv("OLM_VOUT_NO_SHM", "1", 1);
    vout = createOn(host);
    unsetenv("OLM_VOUT_NO_SHM");
    ASSERT_NE(vout, nullptr);
    olm_vout_set_display_mode(vout, VOUT_PREFERRED);
    // Odd sizes and a padded stride.
    ASSERT_EQ(SolidPicture(333, 251, kGreen, 352).putTo(vout), OLM_VOUT_OK);
    const Rgb green = expectedRgb(kGreen);
    EXPECT_TRUE(eventually([&] {
        const Snapshot s = grabWindow(host);
        return s.width == 480 && near(s.at(0, 0), green, kTolerance) &&
               near(s.at(479, 239), green, kTolerance) && near(s.at(240, 120), green, kTolerance);
    }));
}

TEST_F(VoutX11, BadPicturesAreRefusedAndDrawNothing) {
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    SolidPicture ok(64, 48, kRed);
    EXPECT_EQ(olm_vout_put_buffer_pool_yuv(vout, nullptr, ok.u.data(), ok.v.data(), 64, 64, 48),
              OLM_VOUT_E_HANDLE);
    EXPECT_EQ(olm_vout_put_buffer_pool_yuv(vout, ok.y.data(), ok.u.data(), nullptr, 64, 64, 48),
              OLM_VOUT_E_HANDLE);
    for (auto [stride, w, h] : {std::tuple{64, 0, 48},
                                {64, 64, 0},
                                {64, -5, 48},
                                {63, 64, 48},
                                {20000, 16385, 1},
                                {64, 64, 16385}}) {
        EXPECT_EQ(
            olm_vout_put_buffer_pool_yuv(vout, ok.y.data(), ok.u.data(), ok.v.data(), stride, w, h),
            OLM_VOUT_E_INVALID)
            << stride << " " << w << "x" << h;
    }
    EXPECT_EQ(olm_vout_set_display_mode(vout, 4), OLM_VOUT_E_INVALID);
    EXPECT_EQ(olm_vout_set_display_mode(vout, -1), OLM_VOUT_E_INVALID);
    int32_t mode = -1;
    EXPECT_EQ(olm_vout_get_display_mode(vout, &mode), OLM_VOUT_OK);
    EXPECT_EQ(mode, VOUT_NORMAL);
    EXPECT_EQ(olm_vout_get_display_mode(vout, nullptr), OLM_VOUT_E_HANDLE);

    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const olm_vout_stats s = statsOf(vout);
    EXPECT_EQ(s.put, 0u);
    EXPECT_EQ(s.presented, 0u);
    EXPECT_TRUE(pixelIs(host, 240, 120, kBlack)) << "a new output shows black";
}

TEST(VoutCreate, RefusesWhatIsNotAWindowWithAReason) {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr);
    auto expectRefused = [](const olm_vout_params* params, const char* reason) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(olm_vout_create(params), nullptr);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(reason), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    };
    expectRefused(nullptr, "no creation record");
    olm_vout_params params{};
    expectRefused(&params, "window id is 0");
    params.window = 0x7ffffff0;
    expectRefused(&params, "is not a window");
    params.window = createPlainWindow(10, 10);
    params.reserved[31] = 1;
    expectRefused(&params, "reserved bytes");

    const std::string display = std::getenv("DISPLAY");
    params.reserved[31] = 0;
    setenv("DISPLAY", ":4999", 1);
    expectRefused(&params, "cannot open the X display \":4999\"");
    setenv("DISPLAY", display.c_str(), 1);
    destroyPlainWindow(params.window);
}

TEST_F(VoutX11, DestroyedHandlesGetErrorsNeverFreedMemory) {
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    olm_vout_t* stale = vout;
    ASSERT_EQ(olm_vout_destroy(&vout), OLM_VOUT_OK);
    EXPECT_EQ(vout, nullptr);

    SolidPicture p(64, 48, kRed);
    int32_t mode = 77;
    olm_vout_stats stats{};
    EXPECT_EQ(p.putTo(stale), OLM_VOUT_E_HANDLE);
    EXPECT_EQ(olm_vout_get_display_mode(stale, &mode), OLM_VOUT_E_HANDLE);
    EXPECT_EQ(mode, 77);
    EXPECT_EQ(olm_vout_set_display_mode(stale, VOUT_4_3), OLM_VOUT_E_HANDLE);
    EXPECT_EQ(olm_vout_get_stats(stale, &stats), OLM_VOUT_E_HANDLE);
    EXPECT_EQ(olm_vout_destroy(&stale), OLM_VOUT_E_HANDLE);
    EXPECT_NE(stale, nullptr) << "a failed destroy leaves the pointer alone";
    EXPECT_EQ(olm_vout_destroy(nullptr), OLM_VOUT_E_HANDLE);
    EXPECT_EQ(olm_vout_destroy(&vout), OLM_VOUT_E_HANDLE);

    // A new output never takes over the old handle.
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    EXPECT_NE(vout, stale);
    EXPECT_EQ(p.putTo(stale), OLM_VOUT_E_HANDLE);
    EXPECT_EQ(p.putTo(vout), OLM_VOUT_OK);
}

TEST_F(VoutX11, HundredCreateDestroyCyclesLeaveNothingBehind) {
    const int descriptors = openDescriptors();
    SolidPicture p(160, 120, kBlue);
    for (int i = 0; i < 100; ++i) {
        vout = createOn(host);
        ASSERT_NE(vout, nullptr) << "cycle " << i;
        ASSERT_EQ(p.putTo(vout), OLM_VOUT_OK);
        ASSERT_EQ(olm_vout_destroy(&vout), OLM_VOUT_OK);
    }
    EXPECT_TRUE(childWindows(host).empty());
    EXPECT_EQ(openDescriptors(), descriptors);
    vout = createOn(host);
    ASSERT_EQ(p.putTo(vout), OLM_VOUT_OK);
    EXPECT_TRUE(eventually([&] { return pixelIs(host, 240, 120, expectedRgb(kBlue)); }))
        << "create, destroy, create again yields a working output";
}

TEST_F(VoutX11, NewestPictureWinsAndEveryPutIsAccountedFor) {
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    SolidPicture a(1280, 720, kRed), b(1280, 720, kGreen);
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ((i % 2 ? b : a).putTo(vout), OLM_VOUT_OK);
    ASSERT_EQ(a.putTo(vout), OLM_VOUT_OK);
    EXPECT_TRUE(eventually([&] {
        const olm_vout_stats s = statsOf(vout);
        return s.put == 201 && s.presented + s.dropped == 201;
    })) << "put "
        << statsOf(vout).put << " presented " << statsOf(vout).presented << " dropped "
        << statsOf(vout).dropped;
    EXPECT_GE(statsOf(vout).presented, 1u);
    EXPECT_TRUE(eventually([&] { return pixelIs(host, 240, 120, expectedRgb(kRed)); }))
        << "the last picture put is the one on screen";
}

TEST_F(VoutX11, DestroyRacingPutsFromAnotherThreadIsSafe) {
    SolidPicture p(640, 360, kWhite);
    for (int round = 0; round < 20; ++round) {
        olm_vout_t* shared = createOn(host);
        ASSERT_NE(shared, nullptr);
        std::atomic<bool> started{false};
        std::atomic<int> unexpected{0};
        std::thread putter([&] {
            for (;;) {
                olm_vout_t* handle = __atomic_load_n(&shared, __ATOMIC_ACQUIRE);
                if (!handle)
                    break;
                const int rc = p.putTo(handle);
                if (rc != OLM_VOUT_OK && rc != OLM_VOUT_E_HANDLE)
                    unexpected++;
                started = true;
            }
        });
        while (!started)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
        ASSERT_EQ(olm_vout_destroy(&shared), OLM_VOUT_OK);
        putter.join();
        EXPECT_EQ(unexpected.load(), 0);
    }
    EXPECT_TRUE(childWindows(host).empty());
}

TEST_F(VoutX11, HostWindowGoingFirstStopsDrawingSafely) {
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    SolidPicture p(320, 240, kRed);
    ASSERT_EQ(p.putTo(vout), OLM_VOUT_OK);
    destroyPlainWindow(host);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(p.putTo(vout), OLM_VOUT_OK);
        olm_vout_set_display_mode(vout, i % 4);
    }
    EXPECT_EQ(olm_vout_destroy(&vout), OLM_VOUT_OK);
    host = createPlainWindow(480, 240); // for TearDown
}
