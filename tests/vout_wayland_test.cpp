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

#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// Standard error into a file while it lives: where libwayland writes its protocol log
// (WAYLAND_DEBUG=client, read as the host connects).
class StderrLog {
public:
    StderrLog() : file_(std::tmpfile()) {
        std::fflush(stderr);
        saved_ = dup(2);
        dup2(fileno(file_), 2);
    }
    ~StderrLog() {
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        std::fclose(file_);
    }
    StderrLog(const StderrLog&) = delete;
    StderrLog& operator=(const StderrLog&) = delete;
    // The requests and events logged so far, one a line.
    std::vector<std::string> lines() const {
        std::string text;
        char chunk[65536];
        off_t at = 0;
        for (ssize_t n; (n = pread(fileno(file_), chunk, sizeof chunk, at)) > 0; at += n)
            text.append(chunk, size_t(n));
        std::vector<std::string> out;
        for (size_t start = 0, end; start < text.size(); start = end + 1) {
            end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            out.push_back(text.substr(start, end - start));
        }
        return out;
    }

private:
    std::FILE* file_;
    int saved_ = -1;
};

bool logsProtocol() {
    const char* debug = std::getenv("WAYLAND_DEBUG");
    return debug && (std::strstr(debug, "client") || std::strstr(debug, "1"));
}

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
    // The output's scale: its screenshot has physical pixels, the fullscreen host logical ones.
    int screenScale() {
        if (scale_ == 0)
            scale_ = host.width() ? std::max(1, grabWaylandScreen().width / host.width()) : 1;
        return scale_;
    }
    // The colour at each point (logical coordinates), within tolerance, on the compositor's
    // screen.
    using Points = std::vector<std::pair<std::pair<int, int>, Rgb>>;
    bool shows(const Points& points, int tolerance = 4) {
        const int k = screenScale();
        const Snapshot s = grabWaylandScreen();
        for (const auto& [at, colour] : points)
            if (s.width <= at.first * k || s.height <= at.second * k ||
                !near(s.at(at.first * k, at.second * k), colour, tolerance))
                return false;
        return true;
    }
    std::string at(int x, int y) {
        const int k = screenScale();
        const Snapshot s = grabWaylandScreen();
        return s.width > x * k && s.height > y * k ? toString(s.at(x * k, y * k))
                                                   : std::string("not read");
    }

    // Fullscreen unless the run says otherwise (on KWin, which reads nothing back anyway).
    WaylandHost host{0x808080, !std::getenv("LUMIVAREX_TEST_HOST_WINDOWED")};
    olm_vout_t* vout = nullptr;
    int scale_ = 0;
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
    olm::Rect before{40, 30, 480, 240};
    for (const olm::Rect area : {olm::Rect{40, 30, 480, 240}, olm::Rect{200, 100, 300, 400}}) {
        ASSERT_EQ(olm_vout_set_video_rect(vout, area.x, area.y, area.width, area.height),
                  OLM_VOUT_OK);
        if (!(area == before)) {
            // Place and size land together with the host's commit: until then the old layout
            // stays whole, neither the new size at the old place nor the new place early.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_TRUE(shows({{{before.x + 240, before.y + 30}, kRed},
                               {{100, 350}, kGrey},
                               {{area.x + 150, area.y + 380}, kGrey}}))
                << "before the host's commit: " << at(before.x + 240, before.y + 30) << ", "
                << at(100, 350) << ", " << at(area.x + 150, area.y + 380);
        }
        before = area;
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
    // An empty rectangle shows nothing of the output; the picture comes back with a size. The
    // host draws its new layout there, as a toolkit does (sway 1.7 at scale 2 repaints nothing
    // where a subsurface went without it).
    ASSERT_EQ(olm_vout_set_video_rect(vout, 40, 30, 0, 0), OLM_VOUT_OK);
    host.paint(40, 30, 480, 240, 0x808080);
    host.commit();
    EXPECT_TRUE(eventually([&] { return shows({{{200, 120}, kGrey}}); }));
    ASSERT_EQ(olm_vout_set_video_rect(vout, 40, 30, 480, 240), OLM_VOUT_OK);
    host.commit();
    EXPECT_TRUE(eventually([&] { return shows({{{280, 150}, kRed}}); }));
}

TEST_F(VoutWayland, APictureShownOneToOneInPhysicalPixelsReadsBackExactly) {
    // A one-pixel checkerboard at the area's size in buffer pixels: on a HiDPI output every
    // square stays sharp only when nothing is scaled on the way.
    const int k = screenScale();
    const int width = 160, height = 90;
    vout = createIn(20, 10, width, height);
    ASSERT_NE(vout, nullptr);
    TestPicture checker(width * k, height * k, 16, 128, 128);
    for (int y = 0; y < height * k; ++y)
        for (int x = 0; x < width * k; ++x)
            checker.row(0, y)[x] = (x ^ y) & 1 ? 235 : 16;
    ASSERT_EQ(checker.putTo(vout), OLM_VOUT_OK);
    int wrong = -1;
    EXPECT_TRUE(eventually([&] {
        const Snapshot s = grabWaylandScreen();
        if (s.width < (20 + width) * k || s.height < (10 + height) * k)
            return false;
        wrong = 0;
        for (int y = 0; y < height * k; ++y)
            for (int x = 0; x < width * k; ++x) {
                const uint8_t level = (x ^ y) & 1 ? 255 : 0;
                wrong += !near(s.at(20 * k + x, 10 * k + y), {level, level, level}, 24);
            }
        return wrong == 0;
    })) << wrong
        << " of " << width * height * k * k << " pixels off at scale " << k;
}

TEST_F(VoutWayland, EveryPictureIsAccountedForWithTheCompositorsTimes) {
    // With the compositor's presentation feedback, and with its frame callbacks standing in (only
    // those where the run asks for them: headless wlroots discards every feedback).
    const bool framesOnly = std::getenv("OLM_VOUT_NO_PRESENTATION") != nullptr;
    for (bool frames : {false, true}) {
        if (!frames && framesOnly)
            continue;
        if (frames)
            setenv("OLM_VOUT_NO_PRESENTATION", "1", 1);
        vout = createIn(0, 0, 640, 360);
        if (!framesOnly)
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
    // Meanwhile another thread of the caller's reads the connection as libwayland asks of every
    // reader (round trips on a queue of its own prepare, poll and read), beside the host's own
    // reading thread.
    std::atomic<bool> reading{true};
    std::thread caller([&] {
        wl_event_queue* queue = wl_display_create_queue(host.display());
        while (reading && wl_display_roundtrip_queue(host.display(), queue) >= 0) {
        }
        wl_event_queue_destroy(queue);
    });
    int64_t slowestDestroyUs = 0;
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
        const int64_t start = olm::monotonicMicros();
        EXPECT_EQ(olm_vout_destroy(&vout), OLM_VOUT_OK);
        slowestDestroyUs = std::max(slowestDestroyUs, olm::monotonicMicros() - start);
        putter.join();
    }
    reading = false;
    caller.join();
    EXPECT_LT(slowestDestroyUs, 200'000) << "destroy waits for nobody";
    EXPECT_EQ(openDescriptors(), descriptors);
    vout = createIn(0, 0, 320, 180);
    ASSERT_EQ(picture.putTo(vout), OLM_VOUT_OK);
    EXPECT_TRUE(eventually([&] { return shows({{{160, 90}, kRed}}); }));
}

// With the client's protocol log (WAYLAND_DEBUG=client, set for the scaled runs).
TEST_F(VoutWayland, ProtocolPicturesAreConvertedAtTheSizeShownAtMost) {
    if (!logsProtocol())
        GTEST_SKIP() << "needs WAYLAND_DEBUG=client (the scaled runs set it)";
    StderrLog log;
    vout = createIn(0, 0, 400, 225);
    ASSERT_NE(vout, nullptr);
    // The scale buffers are meant for, in 120ths: the one the compositor prefers for the output's
    // surface where it says one (wp_fractional_scale_v1, awaited before the first picture), else
    // the output's whole one.
    bool asked = false;
    for (const std::string& line : log.lines())
        asked = asked || line.find("get_fractional_scale(") != std::string::npos;
    int scale120 = 0;
    if (asked) {
        ASSERT_TRUE(eventually([&] {
            const std::string preferred = "preferred_scale(";
            for (const std::string& line : log.lines()) {
                if (const size_t at = line.find(preferred); at != std::string::npos)
                    scale120 = std::atoi(line.c_str() + at + preferred.size());
            }
            return scale120 > 0;
        })) << "the compositor never said its preferred scale";
    } else {
        scale120 = 120 * screenScale();
    }
    if (const char* told = std::getenv("LUMIVAREX_OUTPUT_SCALE")) { // what the run's output has
        EXPECT_EQ(scale120, std::lround(std::atof(told) * 120));
    }
    const size_t before = log.lines().size(); // the area's own buffer left out
    const TestPicture large(1920, 1080, 81, 90, 240), small(320, 180, 145, 54, 34);
    ASSERT_EQ(large.putTo(vout), OLM_VOUT_OK);
    ASSERT_TRUE(eventually([&] { return statsOf(vout).presented == 1; }));
    ASSERT_EQ(small.putTo(vout), OLM_VOUT_OK);
    ASSERT_TRUE(eventually([&] { return statsOf(vout).presented == 2; }));
    // Larger than shown: converted straight to the size shown in buffer pixels. Smaller: at its
    // own size for the compositor to enlarge, unless the output scales by itself.
    std::vector<std::string> sizes;
    const std::vector<std::string> lines = log.lines();
    for (size_t i = before; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const std::string created = "create_buffer(new id wl_buffer@";
        int width = 0, height = 0;
        if (const size_t at = line.find(created);
            at != std::string::npos &&
            std::sscanf(line.c_str() + at + created.size(), "%*d, %*d, %d, %d", &width,
                        &height) == 2 &&
            width > 1) // not the black area's 1x1
            sizes.push_back(std::to_string(width) + "x" + std::to_string(height));
    }
    // Rounded half away from zero, as the compositor reckons a buffer's logical size.
    auto physical = [&](int logical) {
        return std::to_string(std::lround(logical * scale120 / 120.0));
    };
    const std::string shown = physical(400) + "x" + physical(225);
    const std::string own = std::getenv("OLM_VOUT_NO_VIEWPORTER") ? shown : "320x180";
    EXPECT_EQ(sizes, (std::vector<std::string>{shown, own}));
}

TEST_F(VoutWayland, ProtocolOutputsMadeAndDestroyedAgainLeaveNothingOnTheCompositor) {
    if (!logsProtocol())
        GTEST_SKIP() << "needs WAYLAND_DEBUG=client (the scaled runs set it)";
    const TestPicture picture(320, 180, 81, 90, 240);
    auto cycle = [&] {
        vout = createIn(0, 0, 320, 180);
        ASSERT_NE(vout, nullptr);
        ASSERT_EQ(picture.putTo(vout), OLM_VOUT_OK);
        ASSERT_TRUE(eventually([&] { return statsOf(vout).presented == 1; }));
        ASSERT_EQ(olm_vout_destroy(&vout), OLM_VOUT_OK);
    };
    cycle(); // the first output binds what the connection's outputs share
    StderrLog log;
    for (int i = 0; i < 100 && !HasFatalFailure(); ++i)
        cycle();
    // Every object made since has been destroyed, and the compositor has said so (an id is used
    // again once deleted, so they are followed in order).
    int made = 0, left = 0;
    EXPECT_TRUE(eventually([&] {
        std::set<int> alive;
        made = 0;
        for (const std::string& line : log.lines()) {
            const std::string deleted = "wl_display@1.delete_id(";
            const size_t newId = line.find("new id ");
            const size_t sign = newId == std::string::npos ? newId : line.find('@', newId);
            int id = 0;
            if (line.find(" -> ") != std::string::npos && sign != std::string::npos &&
                std::sscanf(line.c_str() + sign, "@%d", &id) == 1) {
                alive.insert(id);
                ++made;
            } else if (const size_t at = line.find(deleted);
                       at != std::string::npos &&
                       std::sscanf(line.c_str() + at + deleted.size(), "%d", &id) == 1) {
                alive.erase(id);
            }
        }
        left = int(alive.size());
        return made > 0 && left == 0;
    })) << made
        << " objects made in 100 cycles, " << left << " left";
}
