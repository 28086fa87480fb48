// The X-free parts of olm_vout: placement of the picture, the picture pool, scaling, the
// bookkeeping of pictures on their way to the screen, and the render loop over a fake backend.

#include "eventually.h"
#include "in_flight.h"
#include "output.h"
#include "picture_pool.h"
#include "picture_scaler.h"
#include "placement.h"
#include "plane_ops.h"

#include "olm_vout.h"

#include <gtest/gtest.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

using olm::Rect;

TEST(Placement, EachModeFitsItsAspectCentred) {
    // A 4:3 picture in a wide window.
    EXPECT_EQ(olm::placePicture(VOUT_NORMAL, 640, 480, 800, 450), (Rect{100, 0, 600, 450}));
    EXPECT_EQ(olm::placePicture(VOUT_4_3, 640, 480, 800, 450), (Rect{100, 0, 600, 450}));
    EXPECT_EQ(olm::placePicture(VOUT_16_9, 640, 480, 800, 450), (Rect{0, 0, 800, 450}));
    EXPECT_EQ(olm::placePicture(VOUT_PREFERRED, 640, 480, 800, 450), (Rect{0, 0, 800, 450}));
    // A 16:9 picture in a square window.
    EXPECT_EQ(olm::placePicture(VOUT_NORMAL, 1280, 720, 400, 400), (Rect{0, 87, 400, 225}));
    EXPECT_EQ(olm::placePicture(VOUT_4_3, 1280, 720, 400, 400), (Rect{0, 50, 400, 300}));
    EXPECT_EQ(olm::placePicture(VOUT_16_9, 1280, 720, 400, 400), (Rect{0, 87, 400, 225}));
    EXPECT_EQ(olm::placePicture(VOUT_PREFERRED, 1280, 720, 400, 400), (Rect{0, 0, 400, 400}));
    // The video surface's own size.
    EXPECT_EQ(olm::placePicture(VOUT_NORMAL, 1920, 1080, 784, 441), (Rect{0, 0, 784, 441}));
    EXPECT_EQ(olm::placePicture(VOUT_NORMAL, 640, 480, 784, 441), (Rect{98, 0, 588, 441}));
    // Sizes round to the nearest pixel (401.33 down, 402.67 up, 169.31 down, 798.22 down) and
    // the offsets down (200.5, 198.5, 65.5).
    EXPECT_EQ(olm::placePicture(VOUT_4_3, 640, 480, 802, 301), (Rect{200, 0, 401, 301}));
    EXPECT_EQ(olm::placePicture(VOUT_4_3, 640, 480, 800, 302), (Rect{198, 0, 403, 302}));
    EXPECT_EQ(olm::placePicture(VOUT_16_9, 640, 480, 301, 300), (Rect{0, 65, 301, 169}));
    EXPECT_EQ(olm::placePicture(VOUT_NORMAL, 720, 576, 800, 449, 64, 45), (Rect{1, 0, 798, 449}));
}

TEST(Placement, DegenerateSizesStayInsideTheWindow) {
    EXPECT_TRUE(olm::placePicture(VOUT_NORMAL, 640, 480, 0, 100).empty());
    EXPECT_TRUE(olm::placePicture(VOUT_NORMAL, 640, 480, 100, 0).empty());
    // A very thin picture still gets at least one pixel.
    EXPECT_EQ(olm::placePicture(VOUT_NORMAL, 1, 16384, 100, 100), (Rect{49, 0, 1, 100}));
    EXPECT_EQ(olm::placePicture(VOUT_NORMAL, 16384, 1, 100, 100), (Rect{0, 49, 100, 1}));
    // Anamorphic pictures: VOUT_NORMAL shows the display aspect; the other modes ignore it.
    EXPECT_EQ(olm::placePicture(VOUT_NORMAL, 720, 576, 800, 450, 64, 45), (Rect{0, 0, 800, 450}));
    EXPECT_EQ(olm::placePicture(VOUT_NORMAL, 720, 576, 800, 450, 0, 0), (Rect{118, 0, 563, 450}));
    EXPECT_EQ(olm::placePicture(VOUT_4_3, 720, 576, 800, 450, 64, 45), (Rect{100, 0, 600, 450}));
    // Unknown modes fill the window rather than failing.
    EXPECT_EQ(olm::placePicture(42, 640, 480, 100, 50), (Rect{0, 0, 100, 50}));
}

TEST(Placement, FractionalScalesSizeInPhysicalPixelsAndPlaceBackInLogicalOnes) {
    // 150 %: a 640x360 area is 960x540 buffer pixels, where a 1080p picture shows at that size;
    // an odd length rounds to the nearest pixel.
    EXPECT_EQ(olm::toPhysical(640, 180), 960);
    EXPECT_EQ(olm::toPhysical(441, 180), 662);
    EXPECT_EQ(olm::toPhysical(441, 150), 551);
    EXPECT_EQ(olm::placePicture(VOUT_NORMAL, 1920, 1080, 960, 540), (Rect{0, 0, 960, 540}));
    EXPECT_EQ(olm::toLogical({0, 0, 960, 540}, 180), (Rect{0, 0, 640, 360}));
    // Edges are rounded, so that the picture and the black beside it meet; a sliver stays one
    // logical pixel.
    const Rect picture = olm::placePicture(VOUT_NORMAL, 640, 480, 960, 540); // 120,0 720x540
    const Rect logical = olm::toLogical(picture, 180);
    EXPECT_EQ(logical, (Rect{80, 0, 480, 360}));
    EXPECT_EQ(olm::toLogical({5, 7, 1, 1}, 240), (Rect{3, 4, 1, 1}));
    EXPECT_TRUE(olm::toLogical({}, 240).empty());
}

TEST(Placement, BordersCoverExactlyTheRestOfTheWindow) {
    const int w = 97, h = 61;
    for (int mode = VOUT_NORMAL; mode <= VOUT_PREFERRED; ++mode) {
        for (auto [pw, ph] : {std::pair{640, 480}, {1280, 720}, {100, 400}}) {
            const Rect r = olm::placePicture(mode, pw, ph, w, h);
            std::vector<int> covered(w * h, 0);
            auto paint = [&](const Rect& x) {
                for (int yy = x.y; yy < x.y + x.height; ++yy)
                    for (int xx = x.x; xx < x.x + x.width; ++xx)
                        covered[yy * w + xx]++;
            };
            paint(r);
            const olm::Borders b = olm::bordersAround(r, w, h);
            for (int i = 0; i < b.count; ++i)
                paint(b.rects[i]);
            for (int n : covered)
                ASSERT_EQ(n, 1) << "mode " << mode << " picture " << pw << "x" << ph;
        }
    }
}

namespace {
// A picture's planes filled with counting patterns; chroma rows may be padded apart from luma's.
struct Planes {
    int stride, chromaStride, width, height;
    std::vector<uint8_t> y, u, v;
    Planes(int stride_, int width_, int height_, int chromaStride_ = 0)
        : stride(stride_), chromaStride(chromaStride_ ? chromaStride_ : (stride_ + 1) / 2),
          width(width_), height(height_), y(size_t(stride) * height),
          u(size_t(chromaStride) * ((height + 1) / 2)), v(u.size()) {
        std::iota(y.begin(), y.end(), 0);
        std::iota(u.begin(), u.end(), 50);
        std::iota(v.begin(), v.end(), 100);
    }
    olm::PictureSource source() const {
        olm::PictureSource s;
        s.width = width;
        s.height = height;
        s.planes[0] = y.data();
        s.planes[1] = u.data();
        s.planes[2] = v.data();
        s.strides[0] = stride;
        s.strides[1] = s.strides[2] = chromaStride;
        return s;
    }
};
} // namespace

namespace {
// Reference 2x2 box filter, with odd edges averaged with themselves.
std::vector<uint8_t> halveReference(const std::vector<uint8_t>& src, int w, int h) {
    const int ow = (w + 1) / 2, oh = (h + 1) / 2;
    std::vector<uint8_t> out(size_t(ow) * oh);
    auto at = [&](int x, int y) {
        return int(src[size_t(std::min(y, h - 1)) * w + std::min(x, w - 1)]);
    };
    for (int y = 0; y < oh; ++y)
        for (int x = 0; x < ow; ++x)
            out[size_t(y) * ow + x] =
                uint8_t((at(2 * x, 2 * y) + at(2 * x + 1, 2 * y) + at(2 * x, 2 * y + 1) +
                         at(2 * x + 1, 2 * y + 1) + 2) >>
                        2);
    return out;
}

// The w x h pixels of a plane, packed.
std::vector<uint8_t> packed(const uint8_t* plane, int stride, int w, int h) {
    std::vector<uint8_t> out;
    for (int row = 0; row < h; ++row)
        out.insert(out.end(), plane + size_t(row) * stride, plane + size_t(row) * stride + w);
    return out;
}
} // namespace

TEST(PictureCopy, KeepsEveryPixelWhateverTheStridesAndHalvesOnRequest) {
    // Copied, copied with the half, and only the half of a borrowed picture.
    for (auto [onlyReduced, withHalf] : {std::pair{false, false}, {false, true}, {true, true}}) {
        for (auto [stride, chromaStride, width, height] : {std::tuple{64, 32, 64, 16},
                                                           {67, 34, 67, 9},
                                                           {500, 250, 33, 7},
                                                           {1, 1, 1, 1},
                                                           {130, 65, 129, 5},
                                                           {64, 96, 60, 6},
                                                           {200, 31, 61, 3}}) {
            const Planes in(stride, width, height, chromaStride);
            olm::Picture picture;
            ASSERT_TRUE(onlyReduced ? picture.keepReducedOf(in.source(), 2)
                                    : picture.copyFrom(in.source(), withHalf));
            ASSERT_EQ(picture.width, width);
            ASSERT_EQ(picture.height, height);
            ASSERT_EQ(picture.onlyReduced(), onlyReduced);
            const int cw = (width + 1) / 2, ch = (height + 1) / 2;
            const auto y = packed(in.y.data(), stride, width, height);
            const auto u = packed(in.u.data(), chromaStride, cw, ch);
            const auto v = packed(in.v.data(), chromaStride, cw, ch);
            if (!onlyReduced) {
                EXPECT_EQ(packed(picture.planes[0], picture.strides[0], width, height), y);
                EXPECT_EQ(packed(picture.planes[1], picture.strides[1], cw, ch), u);
                EXPECT_EQ(packed(picture.planes[2], picture.strides[2], cw, ch), v);
            }
            if (!withHalf) {
                EXPECT_EQ(picture.reduced.width, 0);
                continue;
            }
            const olm::PlaneSet& half = picture.reduced;
            ASSERT_EQ(half.width, (width + 1) / 2);
            ASSERT_EQ(half.height, (height + 1) / 2);
            EXPECT_EQ(packed(half.planes[0], half.strides[0], half.width, half.height),
                      halveReference(y, width, height));
            const int hcw = (half.width + 1) / 2, hch = (half.height + 1) / 2;
            EXPECT_EQ(packed(half.planes[1], half.strides[1], hcw, hch), halveReference(u, cw, ch));
            EXPECT_EQ(packed(half.planes[2], half.strides[2], hcw, hch), halveReference(v, cw, ch));
        }
    }
    // Reduced by 4: the halving done twice.
    const Planes in(64, 64, 16);
    olm::Picture picture;
    ASSERT_TRUE(picture.keepReducedOf(in.source(), 4));
    const olm::PlaneSet& quarter = picture.reduced;
    ASSERT_EQ(quarter.width, 16);
    ASSERT_EQ(quarter.height, 4);
    const auto y = packed(in.y.data(), 64, 64, 16);
    const auto u = packed(in.u.data(), 32, 32, 8);
    EXPECT_EQ(packed(quarter.planes[0], quarter.strides[0], 16, 4),
              halveReference(halveReference(y, 64, 16), 32, 8));
    EXPECT_EQ(packed(quarter.planes[1], quarter.strides[1], 8, 2),
              halveReference(halveReference(u, 32, 8), 16, 4));
}

TEST(PicturePool, NewestPublishedPictureWins) {
    olm::PicturePool pool(3);
    bool dropped = true;
    olm::Picture* a = pool.acquire(&dropped);
    EXPECT_FALSE(dropped);
    EXPECT_FALSE(pool.publish(a));
    olm::Picture* b = pool.acquire(&dropped);
    EXPECT_NE(a, b);
    EXPECT_TRUE(pool.publish(b)) << "a was never shown: publishing b drops it";
    EXPECT_EQ(pool.takeNewest(), b);
    EXPECT_EQ(pool.shown(), b);
    EXPECT_EQ(pool.takeNewest(), nullptr) << "nothing new since";
    EXPECT_EQ(pool.shown(), b) << "the last picture stays for redraws";
}

TEST(PicturePool, FullPoolStealsThePendingPictureOrReportsBusy) {
    olm::PicturePool pool(2);
    bool dropped = false;
    olm::Picture* shown = pool.acquire(&dropped);
    pool.publish(shown);
    ASSERT_EQ(pool.takeNewest(), shown);
    olm::Picture* pending = pool.acquire(&dropped);
    pool.publish(pending);
    // Only the shown buffer and the pending one exist: the pending one is reused.
    olm::Picture* next = pool.acquire(&dropped);
    EXPECT_EQ(next, pending);
    EXPECT_TRUE(dropped);
    // Both buffers are busy (shown, filling): a second writer is turned away.
    EXPECT_EQ(pool.acquire(&dropped), nullptr);
    pool.release(next);
    EXPECT_NE(pool.acquire(&dropped), nullptr);
}

TEST(PictureScaler, HalvingMatchesABoxFilterAtAnySize) {
    for (auto [w, h] : {std::pair{64, 4}, {65, 5}, {33, 3}, {1, 1}, {2, 7}, {97, 2}}) {
        std::vector<uint8_t> src(size_t(w) * h);
        for (size_t i = 0; i < src.size(); ++i)
            src[i] = uint8_t(i * 37 + i / 7);
        const int ow = (w + 1) / 2, oh = (h + 1) / 2;
        std::vector<uint8_t> out(size_t(ow) * oh + 1, 0xAB);
        olm::halvePlane(src.data(), w, w, h, out.data(), ow);
        EXPECT_EQ(out.back(), 0xAB) << "nothing written past the plane";
        out.pop_back();
        EXPECT_EQ(out, halveReference(src, w, h)) << w << "x" << h;
    }
}

TEST(PictureScaler, LargeReductionsKeepTheImageInPlace) {
    // A picture whose left half is dark and right half bright, scaled down 2.45 times through the
    // halving path: the edge must land in the middle of the output, each side keeping its level.
    const int w = 1920, h = 1080, ow = 784, oh = 441;
    Planes in(w, w, h);
    std::fill(in.u.begin(), in.u.end(), 128);
    std::fill(in.v.begin(), in.v.end(), 128);
    for (int row = 0; row < h; ++row)
        for (int col = 0; col < w; ++col)
            in.y[size_t(row) * w + col] = col < w / 2 ? 16 : 235;
    olm::Picture picture;
    ASSERT_TRUE(picture.copyFrom(in.source()));
    olm::PictureScaler scaler;
    const int stride = ow * 4;
    std::vector<uint8_t> out(size_t(stride) * olm::PictureScaler::rowsNeeded(oh));
    ASSERT_TRUE(scaler.scale(picture, AV_PIX_FMT_BGR0, ow, oh, out.data(), stride));
    for (int row : {0, oh / 2, oh - 1}) {
        const uint8_t* line = out.data() + size_t(row) * stride;
        EXPECT_LE(line[4 * 10], 2) << "row " << row;
        EXPECT_LE(line[4 * (ow / 2 - 3)], 2);
        EXPECT_GE(line[4 * (ow / 2 + 3)], 253);
        EXPECT_GE(line[4 * (ow - 1)], 253);
    }
}

TEST(PictureScaler, OddTargetHeightsKeepTheWholePicture) {
    // A grey luma ramp, 3.5 levels a row. Scaled to an odd height, each output row must show the
    // rows of the picture it covers: a picture stretched by one row loses its bottom and is off by
    // about ten levels there. Through libyuv (BT.601) and libswscale (limited-range BT.709).
    const int w = 64, h = 60, ow = 64;
    Planes in(w, w, h);
    std::fill(in.u.begin(), in.u.end(), 128);
    std::fill(in.v.begin(), in.v.end(), 128);
    for (int row = 0; row < h; ++row)
        std::fill_n(in.y.begin() + row * w, w, uint8_t(std::lround(16 + 3.5 * row)));
    for (int matrix : {OLM_VOUT_MATRIX_BT601, OLM_VOUT_MATRIX_BT709}) {
        for (int oh : {21, 45, 59}) {
            olm::PictureSource source = in.source();
            source.format.matrix = matrix;
            olm::Picture picture;
            ASSERT_TRUE(picture.copyFrom(source));
            olm::PictureScaler scaler;
            const int stride = ow * 4;
            std::vector<uint8_t> out(size_t(stride) * olm::PictureScaler::rowsNeeded(oh));
            ASSERT_TRUE(scaler.scale(picture, AV_PIX_FMT_BGR0, ow, oh, out.data(), stride));
            for (int row = 0; row < oh; ++row) {
                const double sourceRow = std::clamp((row + 0.5) * h / oh - 0.5, 0.0, h - 1.0);
                const double luma = 16 + 3.5 * sourceRow;
                const int want = int(std::lround((luma - 16) * 255 / 219));
                EXPECT_NEAR(out[size_t(row) * stride + 4 * (ow / 2)], want, 4)
                    << "row " << row << " of " << oh << ", matrix " << matrix;
            }
        }
    }
}

TEST(InFlight, LateAnswersMatchNothingAndOverdueRecordsAreGivenUp) {
    const int64_t limit = olm::InFlight::kLimitUs;
    olm::InFlight sent;
    EXPECT_EQ(sent.nextDeadline(), olm::kNoDeadline);
    ASSERT_TRUE(sent.add({.key = 10, .sequence = 1, .slot = 0, .putMicros = 5, .sentUs = 1000}));
    ASSERT_TRUE(sent.add({.key = 20, .sequence = 2, .slot = 1, .putMicros = 6, .sentUs = 2000}));
    EXPECT_EQ(sent.nextDeadline(), 1000 + limit);

    std::vector<uint64_t> givenUp;
    auto record = [&](const olm::InFlight::Record& r) { givenUp.push_back(r.key); };
    sent.expire(1000 + limit - 1, record);
    EXPECT_TRUE(givenUp.empty());
    sent.expire(1000 + limit, record);
    EXPECT_EQ(givenUp, std::vector<uint64_t>{10});
    EXPECT_EQ(sent.nextDeadline(), 2000 + limit);

    // The buffer of the given-up picture carries a new one; the old picture's late answer must
    // not be taken for it.
    ASSERT_TRUE(sent.add({.key = 30, .sequence = 3, .slot = 0, .putMicros = 7, .sentUs = 3000}));
    EXPECT_FALSE(sent.take(10).has_value());
    EXPECT_TRUE(sent.holdsSlot(0));
    const auto answered = sent.take(30);
    ASSERT_TRUE(answered.has_value());
    EXPECT_EQ(answered->putMicros, 7);
    EXPECT_FALSE(sent.holdsSlot(0));
    // An error names the request, not the key.
    EXPECT_EQ(sent.takeFirst([](const olm::InFlight::Record& r) { return r.sequence == 2; })->key,
              20u);
    EXPECT_EQ(sent.size(), 0u);
    for (uint64_t key = 0; key < olm::InFlight::kCapacity; ++key)
        ASSERT_TRUE(sent.add({.key = key}));
    EXPECT_FALSE(sent.add({.key = 99})) << "full";
}

namespace {

// A window system that never answers: each presentation holds the only buffer until the backend
// gives it up, 100 ms later, as the X11 backend gives up after a second.
struct SilentBackend : olm::Backend {
    static constexpr int64_t kGiveUpUs = 100'000;
    static inline std::atomic<int> presents{0}, pumps{0};

    int fd = eventfd(0, EFD_CLOEXEC); // never readable
    int64_t busySince = -1;

    ~SilentBackend() override { close(fd); }
    int eventFd() const override { return fd; }
    olm::WindowEvents pump() override {
        ++pumps;
        if (busySince >= 0 && olm::monotonicMicros() - busySince >= kGiveUpUs)
            busySince = -1;
        olm::WindowEvents events;
        events.width = 64;
        events.height = 48;
        return events;
    }
    bool canPresent() const override { return busySince < 0; }
    olm::PresentResult present(const olm::Picture*, const olm::Rect&, int64_t) override {
        ++presents;
        busySince = olm::monotonicMicros();
        return olm::PresentResult::Drawn;
    }
    int64_t nextDeadline() const override {
        return busySince < 0 ? olm::kNoDeadline : busySince + kGiveUpUs;
    }
    bool presentsAtRefresh() const override { return true; }
    void interrupt() override {}
};

} // namespace

TEST(RenderLoop, AnAnswerThatNeverComesDoesNotFreezeTheOutput) {
    std::string error;
    auto output = olm_vout::open(
        [](const olm::BackendContext&, std::string*) -> std::unique_ptr<olm::Backend> {
            return std::make_unique<SilentBackend>();
        },
        olm::BackendContext{}, 3, &error);
    ASSERT_TRUE(output) << error;
    // Clearing the window to black takes the only buffer, and no answer will free it: the
    // picture put now goes out only once the render thread gives that presentation up by itself.
    ASSERT_TRUE(eventually([] { return SilentBackend::presents == 1; }));
    const Planes picture(64, 64, 48);
    ASSERT_EQ(output->put(picture.source()), OLM_VOUT_OK);
    EXPECT_TRUE(eventually([] { return SilentBackend::presents == 2; }, 3000));
    EXPECT_LT(SilentBackend::pumps.load(), 40) << "it sleeps until the deadline, it does not spin";
    output->shutDown();
}
