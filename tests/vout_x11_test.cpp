// olm_vout against a real X server: pictures are checked by reading pixels back.

#include "eventually.h"
#include "olm_vout.h"
#include "placement.h"
#include "private_xserver.h"
#include "vout_helpers.h"
#include "xhelpers.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Run once right after the next xcb_get_geometry_reply returns, to change the host at the worst
// moment for create: just after it asked how the host is.
std::mutex g_hookMutex;
std::function<void()> g_afterGeometry;
void afterNextGeometry(std::function<void()> hook) {
    std::lock_guard lock(g_hookMutex);
    g_afterGeometry = std::move(hook);
}

} // namespace

// The library's calls into xcb resolve to this program's definition first.
extern "C" xcb_get_geometry_reply_t* xcb_get_geometry_reply(xcb_connection_t* c,
                                                            xcb_get_geometry_cookie_t cookie,
                                                            xcb_generic_error_t** e) {
    using Real = xcb_get_geometry_reply_t* (*)(xcb_connection_t*, xcb_get_geometry_cookie_t,
                                               xcb_generic_error_t**);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "xcb_get_geometry_reply"));
    xcb_get_geometry_reply_t* reply = real(c, cookie, e);
    std::function<void()> hook;
    {
        std::lock_guard lock(g_hookMutex);
        hook = std::exchange(g_afterGeometry, nullptr);
    }
    if (hook)
        hook();
    return reply;
}

namespace {

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
// A 16-bit screen keeps 5 or 6 bits a channel, and the conversion dithers to it.
int toleranceForScreen() {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const int depth = xcb_connection_has_error(c)
                          ? 24
                          : xcb_setup_roots_iterator(xcb_get_setup(c)).data->root_depth;
    xcb_disconnect(c);
    return depth <= 16 ? 12 : 4;
}
const int kTolerance = toleranceForScreen();

// The Y'CbCr of an RGB colour under a matrix (its Kr, Kb) and range: what an encoder makes.
struct Matrix {
    int code;
    double kr, kb;
};
const Matrix kMatrices[] = {{OLM_VOUT_MATRIX_BT601, 0.299, 0.114},
                            {OLM_VOUT_MATRIX_BT709, 0.2126, 0.0722},
                            {OLM_VOUT_MATRIX_BT2020, 0.2627, 0.0593},
                            {OLM_VOUT_MATRIX_SMPTE240M, 0.212, 0.087}};
Yuv encode(Rgb c, const Matrix& m, int range) {
    const double r = c.r / 255.0, g = c.g / 255.0, b = c.b / 255.0;
    const double y = m.kr * r + (1 - m.kr - m.kb) * g + m.kb * b;
    const double cb = (b - y) / (2 * (1 - m.kb)), cr = (r - y) / (2 * (1 - m.kr));
    auto level = [](double v) { return uint8_t(std::lround(std::clamp(v, 0.0, 255.0))); };
    if (range == OLM_VOUT_RANGE_FULL)
        return {level(255 * y), level(128 + 255 * cb), level(128 + 255 * cr)};
    return {level(16 + 219 * y), level(128 + 224 * cb), level(128 + 224 * cr)};
}

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

// A put_picture picture of one colour, tagged, with every plane padded (see TestPicture).
struct TaggedPicture : TestPicture {
    TaggedPicture(int w, int h, Yuv c, int matrix = 0, int range = 0, int padding = 0)
        : TestPicture(w, h, c.y, c.u, c.v, padding) {
        record.matrix = matrix;
        record.range = range;
    }
};

uint32_t onlyChild(uint32_t window) {
    const auto children = childWindows(window);
    return children.size() == 1 ? children[0] : 0;
}

// The picture's colour just inside each edge of rect and black just outside it.
bool showsPictureIn(const Snapshot& s, const olm::Rect& r, Rgb colour, int windowWidth,
                    int windowHeight) {
    if (s.width != windowWidth || s.height != windowHeight)
        return false;
    const bool inside = near(s.at(r.x, r.y), colour, kTolerance) &&
                        near(s.at(r.x + r.width - 1, r.y + r.height - 1), colour, kTolerance) &&
                        near(s.at(r.x + r.width / 2, r.y + r.height / 2), colour, kTolerance);
    bool outside = true;
    if (r.x > 0)
        outside = outside && s.at(r.x - 1, r.y + r.height / 2) == kBlack && s.at(0, 0) == kBlack;
    if (r.x + r.width < windowWidth)
        outside = outside && s.at(r.x + r.width, r.y + r.height / 2) == kBlack;
    if (r.y > 0)
        outside = outside && s.at(r.x + r.width / 2, r.y - 1) == kBlack;
    if (r.y + r.height < windowHeight)
        outside = outside && s.at(r.x + r.width / 2, r.y + r.height) == kBlack;
    return inside && outside;
}

bool pixelIs(uint32_t window, int x, int y, Rgb expected) {
    const Snapshot s = grabWindow(window);
    return s.width > x && s.height > y && near(s.at(x, y), expected, kTolerance);
}

// Twenty rounds of a thread putting pictures into an output as fast as it can while this thread
// destroys it, a little later each round. Puts may succeed, find the output gone, or find every
// buffer in use; anything else is unexpected.
struct RaceCounts {
    int accepted = 0, unexpected = 0;
};
template <typename Put> RaceCounts racePutsAgainstDestroy(uint32_t host, Put put) {
    std::atomic<int> accepted{0}, unexpected{0};
    for (int round = 0; round < 20; ++round) {
        olm_vout_t* shared = createOn(host);
        EXPECT_NE(shared, nullptr);
        if (!shared)
            break;
        std::atomic<bool> started{false};
        std::thread putter([&] {
            while (olm_vout_t* handle = __atomic_load_n(&shared, __ATOMIC_ACQUIRE)) {
                const int rc = put(handle);
                if (rc == OLM_VOUT_OK)
                    accepted++;
                else if (rc != OLM_VOUT_E_HANDLE && rc != OLM_VOUT_E_BUSY)
                    unexpected++;
                started = true;
            }
        });
        while (!started)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
        EXPECT_EQ(olm_vout_destroy(&shared), OLM_VOUT_OK);
        putter.join();
    }
    return {accepted.load(), unexpected.load()};
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

TEST_F(VoutX11, EachMatrixAndRangeShowsTheSourceColours) {
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    ASSERT_EQ(olm_vout_set_display_mode(vout, VOUT_PREFERRED), OLM_VOUT_OK);
    const Yuv grey{126, 128, 128};
    for (const Matrix& m : kMatrices) {
        for (int range : {OLM_VOUT_RANGE_LIMITED, OLM_VOUT_RANGE_FULL}) {
            for (Rgb c : {Rgb{255, 0, 0}, Rgb{0, 255, 0}, Rgb{0, 0, 255}, Rgb{200, 150, 50}}) {
                // Grey in between, so that each colour is seen to come from its own picture.
                ASSERT_EQ(SolidPicture(64, 48, grey).putTo(vout), OLM_VOUT_OK);
                ASSERT_TRUE(eventually([&] { return pixelIs(host, 240, 120, expectedRgb(grey)); }));
                // Odd padding on every plane: a misread stride shows the bright padding.
                ASSERT_EQ(TaggedPicture(62, 46, encode(c, m, range), m.code, range, 13).putTo(vout),
                          OLM_VOUT_OK);
                ASSERT_TRUE(eventually([&] {
                    const Snapshot s = grabWindow(host);
                    return s.width == 480 && near(s.at(240, 120), c, kTolerance) &&
                           near(s.at(2, 2), c, kTolerance) && near(s.at(477, 237), c, kTolerance);
                })) << "matrix "
                    << m.code << " range " << range << " want " << toString(c) << " got "
                    << toString(grabWindow(host).at(240, 120));
            }
        }
    }
}

TEST_F(VoutX11, AnamorphicPicturesKeepTheirDisplayAspectInNormalMode) {
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    TaggedPicture p(720, 576, kWhite);
    p.record.sar_num = 64; // a 16:9 PAL picture
    p.record.sar_den = 45;
    ASSERT_EQ(p.putTo(vout), OLM_VOUT_OK);
    const olm::Rect wide{26, 0, 427, 240};
    EXPECT_TRUE(eventually(
        [&] { return showsPictureIn(grabWindow(host), wide, expectedRgb(kWhite), 480, 240); }));
    // A redraw after a mode change uses the picture's own aspect again.
    olm_vout_set_display_mode(vout, VOUT_4_3);
    EXPECT_TRUE(eventually([&] {
        return showsPictureIn(grabWindow(host), {80, 0, 320, 240}, expectedRgb(kWhite), 480, 240);
    }));
    olm_vout_set_display_mode(vout, VOUT_NORMAL);
    EXPECT_TRUE(eventually(
        [&] { return showsPictureIn(grabWindow(host), wide, expectedRgb(kWhite), 480, 240); }));
    // Turned a quarter, its samples turn too: the same picture stands at 9:16.
    p.record.rotation = 90;
    ASSERT_EQ(p.putTo(vout), OLM_VOUT_OK);
    EXPECT_TRUE(eventually([&] {
        return showsPictureIn(grabWindow(host), {172, 0, 135, 240}, expectedRgb(kWhite), 480, 240);
    }));
}

TEST_F(VoutX11, OddHeightPictureAtItsOwnSizeIsShownRowForRow) {
    resizeWindow(host, 320, 239);
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    TaggedPicture p(320, 239, Yuv{16, 128, 128});
    for (int row = 1; row < 239; row += 2)
        std::fill_n(p.row(0, row), 320, 235);
    ASSERT_EQ(p.putTo(vout), OLM_VOUT_OK);
    int wrongRow = -1;
    EXPECT_TRUE(eventually([&] {
        const Snapshot s = grabWindow(host);
        if (s.height != 239)
            return false;
        for (int row = 0; row < 239; ++row)
            if (!near(s.at(160, row), row % 2 ? Rgb{255, 255, 255} : kBlack, kTolerance))
                return (wrongRow = row), false;
        return true;
    })) << "row "
        << wrongRow << " is not the picture's own";
}

TEST_F(VoutX11, BorrowedPlanesAreKeptWhileShownAndReleasedExactlyOnce) {
    std::atomic<int> released{0};
    auto countRelease = [](void* n) { static_cast<std::atomic<int>*>(n)->fetch_add(1); };
    TaggedPicture p(640, 360, kRed, 0, 0, 5);
    p.record.release = countRelease;
    p.record.opaque = &released;

    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    ASSERT_EQ(p.putTo(vout), OLM_VOUT_OK);
    ASSERT_TRUE(eventually([&] { return pixelIs(host, 240, 120, expectedRgb(kRed)); }));
    remapWindow(host); // redrawn from the borrowed planes, which are still held
    EXPECT_TRUE(eventually([&] { return pixelIs(host, 240, 120, expectedRgb(kRed)); }));
    EXPECT_EQ(released.load(), 0);
    TaggedPicture bad(640, 360, kRed, 7);
    bad.record.release = countRelease;
    bad.record.opaque = &released;
    EXPECT_EQ(bad.putTo(vout), OLM_VOUT_E_INVALID) << "unknown matrix";
    ASSERT_EQ(SolidPicture(64, 48, kGreen).putTo(vout), OLM_VOUT_OK);
    EXPECT_TRUE(eventually([&] { return released.load() == 1; }))
        << "let go once a newer picture is shown";
    // Shown at half its size or less, a borrowed picture is kept halved: its planes are back when
    // put returns, and redraws use the half, also at a larger size.
    TaggedPicture large(1920, 1080, kBlue);
    large.record.release = countRelease;
    large.record.opaque = &released;
    ASSERT_EQ(large.putTo(vout), OLM_VOUT_OK);
    EXPECT_EQ(released.load(), 2);
    std::fill(large.planes[0].begin(), large.planes[0].end(), 0); // the caller's again
    EXPECT_TRUE(eventually([&] { return pixelIs(host, 240, 120, expectedRgb(kBlue)); }));
    resizeWindow(host, 1000, 500);
    EXPECT_TRUE(eventually([&] { return pixelIs(host, 900, 400, expectedRgb(kBlue)); }));
    // Whether put keeps only a smaller version is decided from how large each picture shows now:
    // a 4:1 picture standing up in a 4:1 window is small, the next one lying down is not.
    resizeWindow(host, 1000, 250);
    TaggedPicture strip(1600, 400, kGreen);
    strip.record.release = countRelease;
    strip.record.opaque = &released;
    strip.record.rotation = 90;
    ASSERT_EQ(strip.putTo(vout), OLM_VOUT_OK);
    EXPECT_EQ(released.load(), 3) << "shown at 63x250: only a reduced version is kept";
    ASSERT_TRUE(eventually([&] { return pixelIs(host, 500, 125, expectedRgb(kGreen)); }));
    strip.record.rotation = 0;
    ASSERT_EQ(strip.putTo(vout), OLM_VOUT_OK);
    EXPECT_EQ(released.load(), 3) << "shown at 1000x250: kept as it is, not reduced";
    EXPECT_TRUE(eventually([&] { return pixelIs(host, 20, 125, expectedRgb(kGreen)); }));
    ASSERT_EQ(olm_vout_destroy(&vout), OLM_VOUT_OK);
    EXPECT_EQ(released.load(), 4) << "a refused picture is never released";
    resizeWindow(host, 480, 240);

    // A full pool of two lets the picture waiting to be shown go for a newer one, also with two
    // threads putting at once: each accepted picture is still released exactly once.
    released = 0;
    olm_vout_params params{};
    params.window = host;
    params.pool_depth = 2;
    vout = olm_vout_create(&params);
    ASSERT_NE(vout, nullptr);
    std::atomic<int> accepted{0};
    auto putMany = [&] {
        for (int i = 0; i < 200; ++i)
            accepted += p.putTo(vout) == OLM_VOUT_OK;
    };
    std::thread other(putMany);
    putMany();
    other.join();
    ASSERT_EQ(olm_vout_destroy(&vout), OLM_VOUT_OK);
    EXPECT_GT(accepted.load(), 1);
    EXPECT_EQ(released.load(), accepted.load());

    // Puts racing destroy: every accepted picture is released once, none twice.
    released = 0;
    const RaceCounts counts =
        racePutsAgainstDestroy(host, [&](olm_vout_t* v) { return p.putTo(v); });
    EXPECT_EQ(counts.unexpected, 0);
    EXPECT_GT(counts.accepted, 20);
    EXPECT_EQ(released.load(), counts.accepted);
}

TEST_F(VoutX11, EveryModePlacesPictureWithBlackAround) {
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    for (auto [pw, ph] : {std::pair{320, 240}, {640, 360}}) {
        ASSERT_EQ(SolidPicture(pw, ph, kWhite).putTo(vout), OLM_VOUT_OK);
        for (int mode : {VOUT_NORMAL, VOUT_4_3, VOUT_16_9, VOUT_PREFERRED}) {
            ASSERT_EQ(olm_vout_set_display_mode(vout, mode), OLM_VOUT_OK);
            const olm::Rect r = olm::placePicture(mode, pw, ph, 480, 240);
            EXPECT_TRUE(eventually([&] {
                return showsPictureIn(grabWindow(host), r, expectedRgb(kWhite), 480, 240);
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

    // On the Present path a picture is counted a refresh or so after it shows.
    ASSERT_TRUE(eventually([&] { return settled(vout); }));
    const uint64_t presented = statsOf(vout).presented;
    remapWindow(host); // the server forgets the contents; only a redraw brings them back
    EXPECT_TRUE(eventually([&] { return pixelIs(host, 100, 200, red); }));
    EXPECT_EQ(statsOf(vout).presented, presented) << "a redraw is not a new picture";

    olm_vout_set_display_mode(vout, VOUT_PREFERRED);
    EXPECT_TRUE(eventually([&] { return pixelIs(host, 100, 10, red); }))
        << "a mode change redraws the last picture at once";

    // Grown while another window covers it whole (nothing is drawn then), the output's window
    // still follows, so the new area is the output's once uncovered.
    const uint32_t cover = createPlainWindow(200, 400);
    resizeWindow(host, 300, 450);
    EXPECT_TRUE(eventually([&] { return windowSize(child) == std::pair{300, 450}; }));
    destroyPlainWindow(cover);
    EXPECT_TRUE(eventually([&] { return pixelIs(host, 250, 420, red); }));
}

TEST_F(VoutX11, HostMappedOrResizedWhileTheOutputIsMadeIsFollowed) {
    // Mapped just after create asked how the host is (a toolkit showing the widget meanwhile).
    setMapped(host, false);
    afterNextGeometry([&] { setMapped(host, true); });
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    ASSERT_EQ(SolidPicture(320, 240, kRed).putTo(vout), OLM_VOUT_OK);
    EXPECT_TRUE(eventually([&] { return pixelIs(host, 240, 120, expectedRgb(kRed)); }))
        << "the output took its host for unmapped";
    ASSERT_EQ(olm_vout_destroy(&vout), OLM_VOUT_OK);

    // Resized at that moment: the output's window and the placement follow.
    afterNextGeometry([&] { resizeWindow(host, 600, 300); });
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    ASSERT_EQ(olm_vout_set_display_mode(vout, VOUT_PREFERRED), OLM_VOUT_OK);
    ASSERT_EQ(SolidPicture(320, 240, kBlue).putTo(vout), OLM_VOUT_OK);
    EXPECT_TRUE(eventually([&] { return windowSize(onlyChild(host)) == std::pair{600, 300}; }));
    EXPECT_TRUE(eventually([&] { return pixelIs(host, 590, 290, expectedRgb(kBlue)); }));
}

TEST_F(VoutX11, WindowsBeyondSixteenBitCoordinatesAreCoveredAsFarAsTheyReach) {
    // 40000 pixels wide, placed so that its columns 32000 to 33279 are on screen. The output
    // covers the first 32767 columns, and stretches the picture over exactly those (the host's
    // own background beyond).
    const uint32_t wide = createPlainWindow(40000, 64, -32000, 0);
    vout = createOn(wide);
    ASSERT_NE(vout, nullptr);
    ASSERT_EQ(olm_vout_set_display_mode(vout, VOUT_PREFERRED), OLM_VOUT_OK);
    TaggedPicture p(256, 16, kRed);
    for (int row = 0; row < 16; ++row) { // the last sixteenth white
        std::fill_n(p.row(0, row) + 240, 16, kWhite.y);
        if (row % 2 == 0) {
            std::fill_n(p.row(1, row / 2) + 120, 8, kWhite.u);
            std::fill_n(p.row(2, row / 2) + 120, 8, kWhite.v);
        }
    }
    ASSERT_EQ(p.putTo(vout), OLM_VOUT_OK);
    EXPECT_TRUE(eventually([&] {
        const Snapshot s = grabWindow(wide, 32000, 0, 1280, 64);
        return s.width == 1280 && near(s.at(0, 32), expectedRgb(kWhite), kTolerance) &&
               near(s.at(766, 32), expectedRgb(kWhite), kTolerance) &&
               !near(s.at(800, 32), expectedRgb(kWhite), kTolerance);
    })) << "columns 32000, 32766, 32800: "
        << [&] {
               const Snapshot s = grabWindow(wide, 32000, 0, 1280, 64);
               return s.width ? toString(s.at(0, 32)) + " " + toString(s.at(766, 32)) + " " +
                                    toString(s.at(800, 32))
                              : std::string("not read");
           }();
    EXPECT_EQ(windowSize(onlyChild(wide)), (std::pair{32767, 64}));
    EXPECT_TRUE(eventually([&] { return settled(vout); }));
    EXPECT_EQ(statsOf(vout).presented, 1u);
    ASSERT_EQ(olm_vout_destroy(&vout), OLM_VOUT_OK);
    destroyPlainWindow(wide);
}

TEST_F(VoutX11, AServerHeldByAnotherClientHoldsUpOnlyThePictures) {
    for (bool noPresent : {false, true}) {
        vout = createOn(host, noPresent);
        ASSERT_NE(vout, nullptr);
        ASSERT_EQ(SolidPicture(320, 240, kRed).putTo(vout), OLM_VOUT_OK);
        ASSERT_TRUE(eventually([&] { return pixelIs(host, 240, 120, expectedRgb(kRed)); }));
        // The client holding the server grows the host: the output needs larger buffers, and
        // must not wait for the server to make them. Pictures put meanwhile are given up after a
        // second instead, and the window is drawn once the server answers again.
        xcb_connection_t* holder = xcb_connect(nullptr, nullptr);
        xcb_grab_server(holder);
        const uint32_t size[] = {1000, 600};
        xcb_configure_window(holder, host, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                             size);
        std::free(xcb_get_input_focus_reply(holder, xcb_get_input_focus(holder), nullptr));
        ASSERT_EQ(SolidPicture(320, 240, kGreen).putTo(vout), OLM_VOUT_OK);
        const bool settledMeanwhile = eventually([&] { return settled(vout); }, 3000);
        xcb_ungrab_server(holder);
        xcb_disconnect(holder);
        EXPECT_TRUE(settledMeanwhile)
            << (noPresent ? "image path" : "Present") << ": the output waited for the held server";
        EXPECT_TRUE(eventually([&] { return pixelIs(host, 880, 560, expectedRgb(kGreen)); }))
            << (noPresent ? "image path" : "Present");
        ASSERT_EQ(olm_vout_destroy(&vout), OLM_VOUT_OK);
        resizeWindow(host, 480, 240);
    }
}

TEST_F(VoutX11, ChildWindowLeavesPointerEventsToTheHost) {
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    ASSERT_TRUE(eventually([&] { return onlyChild(host) != 0; }));
    // The host's owner listens for clicks; a click over the output's window must reach it.
    xcb_connection_t* owner = xcb_connect(nullptr, nullptr);
    const uint32_t mask[] = {XCB_EVENT_MASK_BUTTON_PRESS};
    ASSERT_EQ(xcb_request_check(owner, xcb_change_window_attributes_checked(
                                           owner, host, XCB_CW_EVENT_MASK, mask)),
              nullptr);
    ASSERT_EQ(
        std::system(
            ("xdotool mousemove --window " + std::to_string(host) + " 240 120 click 1").c_str()),
        0);
    bool hostGotIt = false;
    eventually([&] {
        while (xcb_generic_event_t* e = xcb_poll_for_event(owner)) {
            auto* press = reinterpret_cast<xcb_button_press_event_t*>(e);
            hostGotIt = hostGotIt || ((e->response_type & 0x7f) == XCB_BUTTON_PRESS &&
                                      press->event == host && press->child == onlyChild(host));
            std::free(e);
        }
        return hostGotIt;
    });
    xcb_disconnect(owner);
    EXPECT_TRUE(hostGotIt) << "the click went to the host, over the output's window";
    olm_vout_destroy(&vout);
    EXPECT_EQ(vout, nullptr);
    EXPECT_TRUE(childWindows(host).empty()) << "destroy removes the child window";
}

TEST_F(VoutX11, ImagePathDrawsWithAndWithoutSharedMemory) {
    // Straight into the window: with MIT-SHM (what servers without Present get), then with
    // PutImage in strips.
    for (bool noShm : {false, true}) {
        vout = createOn(host, true, noShm);
        ASSERT_NE(vout, nullptr);
        olm_vout_timing timing{};
        timing.struct_size = sizeof timing;
        ASSERT_EQ(olm_vout_get_timing(vout, &timing), OLM_VOUT_OK);
        EXPECT_EQ(timing.path, uint32_t(OLM_VOUT_PATH_PUT_IMAGE));
        olm_vout_set_display_mode(vout, VOUT_PREFERRED);
        // Odd sizes and a padded stride.
        ASSERT_EQ(SolidPicture(333, 251, kGreen, 352).putTo(vout), OLM_VOUT_OK);
        const Rgb green = expectedRgb(kGreen);
        EXPECT_TRUE(eventually([&] {
            const Snapshot s = grabWindow(host);
            return s.width == 480 && near(s.at(0, 0), green, kTolerance) &&
                   near(s.at(479, 239), green, kTolerance) &&
                   near(s.at(240, 120), green, kTolerance);
        })) << (noShm ? "strips" : "shared memory");
        // Each picture reaches the screen and is counted without a later put to wake anything.
        for (int i = 0; i < 10; ++i) {
            ASSERT_TRUE(eventually([&] { return settled(vout); }));
            const uint64_t presented = statsOf(vout).presented;
            ASSERT_EQ(SolidPicture(160, 120, i % 2 ? kRed : kBlue).putTo(vout), OLM_VOUT_OK);
            EXPECT_TRUE(eventually([&] { return statsOf(vout).presented == presented + 1; }))
                << (noShm ? "strips" : "shared memory") << ", picture " << i;
        }
        ASSERT_EQ(olm_vout_destroy(&vout), OLM_VOUT_OK);
    }
}

TEST_F(VoutX11, PoolDepthBoundsHowManyPutsMayRunAtOnce) {
    // A large picture copied over and over on one thread, small ones put on this one. With two
    // buffers (one shown, one being filled) a put that overlaps the copy finds none free; the
    // default depth (3, which out-of-range values get) always has one for two threads.
    const SolidPicture big(3840, 2160, kWhite), small(64, 48, kRed);
    for (auto [depth, busyExpected] : {std::pair{2u, true}, {1u, false}, {17u, false}}) {
        olm_vout_params params{};
        params.window = host;
        params.pool_depth = depth;
        vout = olm_vout_create(&params);
        ASSERT_NE(vout, nullptr);
        std::atomic<bool> stop{false};
        std::atomic<int> bigPuts{0};
        std::thread copier([&] {
            while (!stop) {
                EXPECT_NE(big.putTo(vout), OLM_VOUT_E_NO_MEMORY);
                ++bigPuts;
            }
        });
        // Until a put found every buffer busy (depth 2), or over the time of ten large copies.
        int busy = 0, other = 0;
        const auto end = Clock::now() + std::chrono::seconds(20);
        while (Clock::now() < end && !(busyExpected ? busy > 0 : bigPuts >= 10)) {
            const int rc = small.putTo(vout);
            busy += rc == OLM_VOUT_E_BUSY;
            other += rc != OLM_VOUT_E_BUSY && rc != OLM_VOUT_OK;
        }
        stop = true;
        copier.join();
        EXPECT_EQ(other, 0);
        if (busyExpected) {
            EXPECT_GT(busy, 0) << "depth " << depth;
        } else {
            EXPECT_EQ(busy, 0) << "depth " << depth;
            EXPECT_GE(bigPuts.load(), 10) << "the copies overlapped the small puts";
        }
        EXPECT_TRUE(eventually([&] { return settled(vout); }));
        ASSERT_EQ(olm_vout_destroy(&vout), OLM_VOUT_OK);
    }
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
    TaggedPicture tagged(64, 48, kRed);
    EXPECT_EQ(olm_vout_put_picture(vout, nullptr), OLM_VOUT_E_HANDLE);
    for (auto spoil : std::vector<std::function<void(olm_vout_picture&)>>{
             [](olm_vout_picture& r) { r.struct_size = OLM_VOUT_PICTURE_SIZE_1_0 - 8; },
             [](olm_vout_picture& r) { r.struct_size = OLM_VOUT_PICTURE_SIZE_1_1 - 4; },
             [](olm_vout_picture& r) { r.struct_size = OLM_VOUT_PICTURE_SIZE_1_1 + 8; },
             [](olm_vout_picture& r) { r.struct_size = 0; },
             [](olm_vout_picture& r) { r.rotation = -90; },
             [](olm_vout_picture& r) { r.strides[1] = 31; },
             [](olm_vout_picture& r) { r.strides[2] = 0; },
             [](olm_vout_picture& r) { r.matrix = OLM_VOUT_MATRIX_SMPTE240M + 1; },
             [](olm_vout_picture& r) { r.range = -1; }, [](olm_vout_picture& r) { r.sar_num = -4; },
             [](olm_vout_picture& r) { r.height = OLM_VOUT_MAX_DIMENSION + 1; }}) {
        olm_vout_picture record = tagged.record;
        spoil(record);
        EXPECT_EQ(olm_vout_put_picture(vout, &record), OLM_VOUT_E_INVALID);
    }
    olm_vout_picture noPlane = tagged.record;
    noPlane.planes[1] = nullptr;
    EXPECT_EQ(olm_vout_put_picture(vout, &noPlane), OLM_VOUT_E_HANDLE);
    EXPECT_EQ(olm_vout_set_display_mode(vout, 4), OLM_VOUT_E_INVALID);
    EXPECT_EQ(olm_vout_set_display_mode(vout, -1), OLM_VOUT_E_INVALID);
    int32_t mode = -1;
    EXPECT_EQ(olm_vout_get_display_mode(vout, &mode), OLM_VOUT_OK);
    EXPECT_EQ(mode, VOUT_NORMAL);
    EXPECT_EQ(olm_vout_get_display_mode(vout, nullptr), OLM_VOUT_E_HANDLE);
    EXPECT_EQ(olm_vout_set_video_rect(vout, 0, 0, 10, 10), OLM_VOUT_E_INVALID)
        << "an X11 output follows its window by itself";

    // Accepted pictures are counted before put returns: none was.
    EXPECT_EQ(statsOf(vout).put, 0u);
    EXPECT_TRUE(eventually([&] { return pixelIs(host, 240, 120, kBlack); }))
        << "a new output shows black";
    EXPECT_EQ(statsOf(vout).presented, 0u);
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

    // An input-only window takes no drawing: the output's window cannot be made in it.
    params.reserved[31] = 0;
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const xcb_window_t inputOnly = xcb_generate_id(c);
    xcb_create_window(c, 0, inputOnly, xcb_setup_roots_iterator(xcb_get_setup(c)).data->root, 0, 0,
                      10, 10, 0, XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    olm_vout_params inputOnlyParams{};
    inputOnlyParams.window = inputOnly;
    expectRefused(&inputOnlyParams, "cannot create the output's window");
    xcb_disconnect(c);

    const std::string display = std::getenv("DISPLAY");
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
    EXPECT_EQ(racePutsAgainstDestroy(host, [&](olm_vout_t* v) { return p.putTo(v); }).unexpected,
              0);
    EXPECT_TRUE(childWindows(host).empty());
}

TEST_F(VoutX11, HostWindowGoingFirstStopsDrawingSafely) {
    vout = createOn(host);
    ASSERT_NE(vout, nullptr);
    SolidPicture p(320, 240, kRed);
    ASSERT_EQ(p.putTo(vout), OLM_VOUT_OK);
    ASSERT_TRUE(eventually([&] { return statsOf(vout).presented == 1; }));
    destroyPlainWindow(host);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(p.putTo(vout), OLM_VOUT_OK);
    // Nowhere to draw: every later picture is dropped, none presented.
    EXPECT_TRUE(eventually([&] {
        const olm_vout_stats s = statsOf(vout);
        return s.put == 21 && s.dropped == 20;
    })) << "dropped "
        << statsOf(vout).dropped;
    EXPECT_EQ(statsOf(vout).presented, 1u);
    for (int mode = VOUT_NORMAL; mode <= VOUT_PREFERRED; ++mode)
        EXPECT_EQ(olm_vout_set_display_mode(vout, mode), OLM_VOUT_OK);
    EXPECT_EQ(olm_vout_destroy(&vout), OLM_VOUT_OK);
    host = createPlainWindow(480, 240); // for TearDown
}

TEST(VoutServer, PicturesTheServerNeverAnswersAreGivenUpAndTheOutputGoesOn) {
    PrivateXServer server;
    ASSERT_TRUE(server.running());
    const std::string shared = std::getenv("DISPLAY");
    setenv("DISPLAY", server.display().c_str(), 1);
    const uint32_t host = createPlainWindow(320, 240);
    for (bool noPresent : {false, true}) {
        olm_vout_t* vout = createOn(host, noPresent);
        ASSERT_NE(vout, nullptr);
        ASSERT_EQ(SolidPicture(320, 240, kRed).putTo(vout), OLM_VOUT_OK);
        ASSERT_TRUE(eventually([&] { return statsOf(vout).presented == 1; }));
        server.pause();
        for (int i = 0; i < 6; ++i) { // every buffer sent, none answered
            EXPECT_EQ(SolidPicture(320, 240, i % 2 ? kGreen : kWhite).putTo(vout), OLM_VOUT_OK);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        EXPECT_TRUE(eventually([&] { return settled(vout); }, 3000))
            << (noPresent ? "image path" : "Present") << ": pictures were never given up";
        EXPECT_EQ(statsOf(vout).presented, 1u);
        server.resume();
        // The late answers count for nothing; new pictures show and are counted.
        for (Yuv colour : {kBlue, kRed, kBlue}) {
            ASSERT_EQ(SolidPicture(320, 240, colour).putTo(vout), OLM_VOUT_OK);
            EXPECT_TRUE(eventually([&] {
                return settled(vout) && pixelIs(host, 160, 120, expectedRgb(colour));
            })) << (noPresent ? "image path" : "Present");
        }
        const olm_vout_stats s = statsOf(vout);
        EXPECT_EQ(s.put, 10u);
        EXPECT_GE(s.presented, 2u);
        EXPECT_LE(s.presented, 4u);
        EXPECT_EQ(olm_vout_destroy(&vout), OLM_VOUT_OK);
    }
    setenv("DISPLAY", shared.c_str(), 1);
}

TEST(VoutServer, DestroyReturnsPromptlyWhenTheServerStopsAnswering) {
    PrivateXServer server;
    ASSERT_TRUE(server.running());
    const std::string shared = std::getenv("DISPLAY");
    setenv("DISPLAY", server.display().c_str(), 1);
    const uint32_t host = createPlainWindow(320, 240);
    setenv("DISPLAY", shared.c_str(), 1);
    // The second time drawing into the window in strips, whose large requests fill the socket.
    for (bool strips : {false, true}) {
        setenv("DISPLAY", server.display().c_str(), 1);
        olm_vout_t* vout = createOn(host, strips, strips);
        setenv("DISPLAY", shared.c_str(), 1);
        ASSERT_NE(vout, nullptr);
        SolidPicture p(1280, 720, kBlue);
        ASSERT_EQ(p.putTo(vout), OLM_VOUT_OK);
        ASSERT_TRUE(eventually([&] { return statsOf(vout).presented == 1; }));

        server.pause();
        for (int i = 0; i < 20; ++i) { // the render thread ends up waiting on the server
            EXPECT_EQ(p.putTo(vout), OLM_VOUT_OK);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        // On a thread of its own, so that a destroy that hangs fails the test instead of
        // hanging it: resuming the server lets it finish.
        const auto start = Clock::now();
        auto destroyed = std::async(std::launch::async, [&] { return olm_vout_destroy(&vout); });
        const bool returned =
            destroyed.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        server.resume();
        EXPECT_EQ(destroyed.get(), OLM_VOUT_OK);
        EXPECT_TRUE(returned) << "destroy waited for the stopped server";
        EXPECT_LT(took.count(), 1200) << "destroy took " << took.count() << " ms";
    }
}
