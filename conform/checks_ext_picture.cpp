// ext.put_picture: pictures that say what they are (matrix, range, sample aspect, per-plane
// strides) and planes borrowed until release, which comes exactly once per accepted picture.

#include "scene.h"

#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

const std::vector<std::string> kNeedsPutPicture{"olm_vout_put_picture"};

// Puts the standard sheet, tagged, on an output that may already show another picture; the
// marker level tells this picture from the one before.
void showTaggedSheet(Scene& s, Verdict& verdict, olm_vout_t* vout, xcb_window_t host,
                     const ColourMatrix& matrix, int range, uint8_t markerLevel,
                     const std::string& label) {
    const PatchSheet sheet = standardSheet();
    std::vector<QRgb> expected;
    const YuvPicture picture = sheetPicture(sheet, matrix, range, markerLevel, &expected);
    const int code = s.putPicture(vout, picture.record(matrix.code, range));
    if (code != OLM_VOUT_OK)
        stopFailed("olm_vout_put_picture of " + label + " to return " + codeName(OLM_VOUT_OK),
                   codeName(code));
    const QRgb marker = expected.back();
    const auto seen =
        s.waitFor(host, [&](const QImage& shot) { return markerShows(shot, sheet, marker); });
    s.judgeAndRecord(verdict, seen.image, sheet, expected, label);
}

std::string rangeName(int range) {
    return range == OLM_VOUT_RANGE_FULL ? "full range" : "limited range";
}

// Each matrix and range in turn on one output, as a player's pictures change tags.
Verdict tagsInTurn(CheckContext& ctx, const std::vector<std::pair<int, int>>& cases) {
    Scene s(ctx);
    const PatchSheet sheet = standardSheet();
    const xcb_window_t host = s.host(sheet.width(), sheet.height());
    olm_vout_t* vout = s.requireOutput(host);
    Verdict verdict;
    int shown = 0;
    for (const auto& [matrix, range] : cases)
        showTaggedSheet(s, verdict, vout, host, kMatrices[matrix], range, shown++ % 2 ? 64 : 160,
                        std::string(kMatrices[matrix].name) + " " + rangeName(range));
    return verdict;
}

Verdict eachMatrix(CheckContext& ctx) {
    return tagsInTurn(ctx, {{0, OLM_VOUT_RANGE_LIMITED},
                            {1, OLM_VOUT_RANGE_LIMITED},
                            {2, OLM_VOUT_RANGE_LIMITED},
                            {3, OLM_VOUT_RANGE_LIMITED},
                            {0, OLM_VOUT_RANGE_LIMITED}});
}

Verdict fullRange(CheckContext& ctx) {
    return tagsInTurn(ctx, {{0, OLM_VOUT_RANGE_FULL},
                            {1, OLM_VOUT_RANGE_FULL},
                            {1, OLM_VOUT_RANGE_LIMITED},
                            {2, OLM_VOUT_RANGE_FULL}});
}

Verdict sampleAspect(CheckContext& ctx) {
    Scene s(ctx);
    constexpr int kWidth = 320, kHeight = 180;
    const xcb_window_t host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    const struct {
        int width, height, sarNum, sarDen;
    } cases[] = {{176, 144, 16, 11}, {160, 120, 0, 0}, {120, 120, 2, 1},
                 {120, 120, 0, 3},   {120, 120, 1, 2}, {120, 120, 5, 0}};
    Verdict verdict;
    int shown = 0;
    for (const auto& c : cases) {
        const QRgb colour = shown++ % 2 ? kSky : kAmber;
        const YuvPicture picture = flatPicture(c.width, c.height, colour);
        olm_vout_picture record = picture.record();
        record.sar_num = c.sarNum;
        record.sar_den = c.sarDen;
        const std::string label = std::to_string(c.width) + "x" + std::to_string(c.height) +
                                  " with sample aspect " + std::to_string(c.sarNum) + ":" +
                                  std::to_string(c.sarDen) + ", VOUT_NORMAL";
        expectCode(verdict, "olm_vout_put_picture of " + label, s.putPicture(vout, record),
                   OLM_VOUT_OK);
        const RectF want =
            expectedPlacement(VOUT_NORMAL, c.width, c.height, c.sarNum, c.sarDen, kWidth, kHeight);
        const auto seen =
            s.waitFor(host, [&](const QImage& shot) { return centreShows(shot, colour); });
        s.judgeAndRecord(verdict, seen.image, want, colour, label);
    }
    return verdict;
}

Verdict ownStrides(CheckContext& ctx) {
    Scene s(ctx);
    Verdict verdict;
    const int chroma = standardSheet().width() / 2;
    const int cases[2][3] = {{standardSheet().width() + 24, chroma + 7, chroma + 29},
                             {standardSheet().width() + 3, chroma + 40, chroma}};
    for (const auto& strides : cases)
        s.checkSheet(verdict, kMatrices[0], OLM_VOUT_RANGE_LIMITED, strides, true,
                     "strides " + std::to_string(strides[0]) + ", " + std::to_string(strides[1]) +
                         ", " + std::to_string(strides[2]));
    return verdict;
}

Verdict copiedWithoutRelease(CheckContext& ctx) {
    Scene s(ctx);
    constexpr int kWidth = 320, kHeight = 240;
    const xcb_window_t host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    YuvPicture picture(kWidth, kHeight, kWidth + 8, kWidth / 2 + 4, kWidth / 2 + 12);
    picture.fill(encode(kAmber, kMatrices[1], OLM_VOUT_RANGE_LIMITED));
    const int code = s.putPicture(vout, picture.record(OLM_VOUT_MATRIX_BT709));
    if (code != OLM_VOUT_OK)
        stopFailed("olm_vout_put_picture to return " + codeName(OLM_VOUT_OK), codeName(code));
    picture.scribble(0xff); // every plane, padding too: far from amber under any reading
    const auto seen = s.waitForDrawn(
        host, [](const QImage& shot) { return shot.pixel(shot.width() / 2, shot.height() / 2); });
    Verdict verdict;
    s.judgeAndRecord(verdict, seen.image, RectF{0, 0, kWidth, kHeight}, kAmber,
                     "planes overwritten right after a put without release");
    return verdict;
}

// Release calls, counted per picture.
struct ReleaseCounter {
    std::atomic<int> calls{0};
    static void release(void* opaque) { ++static_cast<ReleaseCounter*>(opaque)->calls; }
};

Verdict releasedExactlyOnce(CheckContext& ctx) {
    Scene s(ctx);
    constexpr int kPictures = 8, kWidth = 160, kHeight = 120;
    const xcb_window_t host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    std::vector<YuvPicture> pictures;
    for (int i = 0; i < kPictures; ++i)
        pictures.push_back(flatPicture(kWidth, kHeight, i % 2 ? kSky : kAmber));
    ReleaseCounter counters[kPictures];
    bool accepted[kPictures] = {};
    // In quick succession, so that some are superseded before they are shown.
    for (int i = 0; i < kPictures; ++i) {
        olm_vout_picture record = pictures[size_t(i)].record();
        record.release = &ReleaseCounter::release;
        record.opaque = &counters[i];
        accepted[i] = s.putPicture(vout, record) == OLM_VOUT_OK;
    }
    ReleaseCounter rejected;
    olm_vout_picture bad = pictures[0].record();
    bad.matrix = 99;
    bad.release = &ReleaseCounter::release;
    bad.opaque = &rejected;
    s.putPicture(vout, bad);
    Verdict verdict;
    constexpr QRgb kLast = kPictures % 2 ? kAmber : kSky;
    s.expectArrived(verdict,
                    s.waitFor(host, [](const QImage& shot) { return centreShows(shot, kLast); }),
                    kLast, "the window, after the last picture,");
    ctx.destroy(&vout);
    int acceptedCount = 0, wrong = 0, firstWrong = -1;
    for (int i = 0; i < kPictures; ++i) {
        acceptedCount += accepted[i];
        if (counters[i].calls != (accepted[i] ? 1 : 0) && wrong++ == 0)
            firstWrong = i;
    }
    if (wrong)
        verdict.fail("release called once for each of " + std::to_string(acceptedCount) +
                         " accepted pictures by the time destroy returned",
                     std::to_string(counters[firstWrong].calls) + " calls for picture " +
                         std::to_string(firstWrong + 1) + " (" + std::to_string(wrong) +
                         " pictures wrong)");
    if (rejected.calls != 0)
        verdict.fail("no release for a rejected picture",
                     std::to_string(rejected.calls) + " calls");
    return verdict;
}

// Planes in memory of their own, so that they can be unmapped the moment they are released:
// an output that still reads them afterwards crashes.
class MappedPicture {
public:
    explicit MappedPicture(const YuvPicture& source) : source_(source.record()) {
        for (int p = 0; p < 3; ++p)
            bytes_ += source.planeBytes(p);
        memory_ = static_cast<uint8_t*>(
            mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (memory_ == MAP_FAILED)
            stopCheck(Result::Unresolved, "mmap failed");
        size_t at = 0;
        for (int p = 0; p < 3; ++p) {
            std::memcpy(memory_ + at, source.plane(p), source.planeBytes(p));
            source_.planes[p] = memory_ + at;
            at += source.planeBytes(p);
        }
    }
    ~MappedPicture() { unmap(); }
    MappedPicture(const MappedPicture&) = delete;
    MappedPicture& operator=(const MappedPicture&) = delete;

    olm_vout_picture record(ReleaseCounter* counter) const {
        olm_vout_picture r = source_;
        r.release = &ReleaseCounter::release;
        r.opaque = counter;
        return r;
    }
    void unmap() {
        if (memory_ && memory_ != MAP_FAILED)
            munmap(memory_, bytes_);
        memory_ = nullptr;
    }

private:
    olm_vout_picture source_;
    uint8_t* memory_ = nullptr;
    size_t bytes_ = 0;
};

Verdict releaseLetsGo(CheckContext& ctx) {
    Scene s(ctx);
    constexpr int kWidth = 320, kHeight = 180;
    const xcb_window_t host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    MappedPicture first(flatPicture(kWidth, kHeight, kAmber));
    MappedPicture second(flatPicture(kWidth, kHeight, kSky));
    ReleaseCounter firstReleased, secondReleased;
    Verdict verdict;
    for (auto [picture, counter, colour] :
         {std::tuple{&first, &firstReleased, kAmber}, std::tuple{&second, &secondReleased, kSky}}) {
        const int code = s.putPicture(vout, picture->record(counter));
        if (code != OLM_VOUT_OK)
            stopFailed("olm_vout_put_picture with a release to return " + codeName(OLM_VOUT_OK),
                       codeName(code));
        s.expectArrived(
            verdict,
            s.waitFor(host, [c = colour](const QImage& shot) { return centreShows(shot, c); }),
            colour, "the window");
    }
    const auto end = Clock::now() + std::chrono::milliseconds(ctx.scaled(2000));
    while (firstReleased.calls == 0 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (firstReleased.calls == 0)
        stopFailed("the first picture released once the second was on screen",
                   "no release within " + std::to_string(ctx.scaled(2000)) + " ms");
    first.unmap();
    // Redraws and a new picture: none may touch the released planes.
    for (int mode : {VOUT_4_3, VOUT_NORMAL})
        s.requireMode(vout, mode);
    s.expectArrived(verdict, s.showFlat(vout, host, kWidth, kHeight, kAmber), kAmber,
                    "the window after the released planes were unmapped");
    return verdict;
}

Verdict badPicturesRejected(CheckContext& ctx) {
    Scene s(ctx);
    olm_vout_t* vout = s.requireOutput(s.host(320, 240));
    const YuvPicture picture = flatPicture(64, 48, kAmber);
    ReleaseCounter counter;
    auto good = [&] {
        olm_vout_picture r = picture.record();
        r.release = &ReleaseCounter::release;
        r.opaque = &counter;
        return r;
    };
    struct Case {
        const char* what;
        void (*spoil)(olm_vout_picture&);
        int want;
    };
    // Sizes that no version of the record can have (it grows by whole fields).
    const Case cases[] = {
        {"struct_size 0", [](olm_vout_picture& r) { r.struct_size = 0; }, OLM_VOUT_E_INVALID},
        {"struct_size 7", [](olm_vout_picture& r) { r.struct_size = 7; }, OLM_VOUT_E_INVALID},
        {"struct_size one below the record",
         [](olm_vout_picture& r) { r.struct_size = sizeof r - 1; }, OLM_VOUT_E_INVALID},
        {"struct_size one above the record",
         [](olm_vout_picture& r) { r.struct_size = sizeof r + 1; }, OLM_VOUT_E_INVALID},
        {"width 0", [](olm_vout_picture& r) { r.width = 0; }, OLM_VOUT_E_INVALID},
        {"height -4", [](olm_vout_picture& r) { r.height = -4; }, OLM_VOUT_E_INVALID},
        {"width above the maximum",
         [](olm_vout_picture& r) { r.width = OLM_VOUT_MAX_DIMENSION + 1; }, OLM_VOUT_E_INVALID},
        {"a Y stride below the width", [](olm_vout_picture& r) { r.strides[0] = 63; },
         OLM_VOUT_E_INVALID},
        {"a V stride below the chroma width", [](olm_vout_picture& r) { r.strides[2] = 31; },
         OLM_VOUT_E_INVALID},
        {"matrix 4", [](olm_vout_picture& r) { r.matrix = 4; }, OLM_VOUT_E_INVALID},
        {"matrix -1", [](olm_vout_picture& r) { r.matrix = -1; }, OLM_VOUT_E_INVALID},
        {"range 2", [](olm_vout_picture& r) { r.range = 2; }, OLM_VOUT_E_INVALID},
        {"sar_num -1", [](olm_vout_picture& r) { r.sar_num = -1; }, OLM_VOUT_E_INVALID},
        {"sar_den -3", [](olm_vout_picture& r) { r.sar_den = -3; }, OLM_VOUT_E_INVALID},
        {"a NULL U plane", [](olm_vout_picture& r) { r.planes[1] = nullptr; }, OLM_VOUT_E_HANDLE},
    };
    Verdict verdict;
    for (const Case& c : cases) {
        olm_vout_picture r = good();
        c.spoil(r);
        expectCode(verdict, std::string("olm_vout_put_picture with ") + c.what,
                   s.putPicture(vout, r), c.want);
    }
    expectCode(verdict, "olm_vout_put_picture(NULL picture)", ctx.api.putPicture(vout, nullptr),
               OLM_VOUT_E_HANDLE);
    olm_vout_t* stale = s.requireOutput(s.host(64, 48));
    olm_vout_t* copy = stale;
    ctx.destroy(&copy);
    expectCode(verdict, "olm_vout_put_picture on a destroyed handle", s.putPicture(stale, good()),
               OLM_VOUT_E_HANDLE);
    if (counter.calls != 0)
        verdict.fail("no release for rejected pictures", std::to_string(counter.calls) + " calls");
    return verdict;
}

Verdict redrawKeepsTags(CheckContext& ctx) {
    Scene s(ctx);
    const PatchSheet sheet = standardSheet();
    const xcb_window_t host = s.host(sheet.width(), sheet.height());
    olm_vout_t* vout = s.requireOutput(host);
    Verdict verdict;
    const ColourMatrix& bt709 = kMatrices[1];
    showTaggedSheet(s, verdict, vout, host, bt709, OLM_VOUT_RANGE_FULL, 160, "BT.709 full range");
    // Exposed by a window of the tester's own over the host (the first host is at 0,0).
    const xcb_window_t cover =
        createHostWindow(s.x, 0, 0, sheet.width(), sheet.height(), ctx.scaled(2000));
    if (!cover)
        stopCheck(Result::Unresolved, "the covering window could not be shown");
    xcb_destroy_window(s.x.get(), cover);
    s.x.sync();
    std::vector<QRgb> expected;
    sheetPicture(sheet, bt709, OLM_VOUT_RANGE_FULL, 160, &expected);
    const auto exposed = s.waitFor(
        host, [&](const QImage& shot) { return markerShows(shot, sheet, expected.back()); });
    s.judgeAndRecord(verdict, exposed.image, sheet, expected, "BT.709 full range, redrawn");
    return verdict;
}

} // namespace

void addExtPictureChecks(std::vector<Check>& checks) {
    const auto& needs = kNeedsPutPicture;
    checks.insert(
        checks.end(),
        {
            {.name = "ext.put_picture.matrix",
             .promise = "each matrix (BT.601, BT.709, BT.2020, SMPTE 240M) shows its own patches "
                        "within 4 levels, one picture after another on one output",
             .run = eachMatrix,
             .needs = needs,
             .readsScreen = true,
             .deadlineMs = 20000},
            {.name = "ext.put_picture.range",
             .promise = "full-range pictures show as full range, limited as limited",
             .run = fullRange,
             .needs = needs,
             .readsScreen = true,
             .deadlineMs = 20000},
            {.name = "ext.put_picture.sample_aspect",
             .promise = "VOUT_NORMAL shows width * sar_num : height * sar_den, a 0 in either "
                        "meaning square",
             .run = sampleAspect,
             .needs = needs,
             .readsScreen = true,
             .deadlineMs = 20000},
            {.name = "ext.put_picture.strides",
             .promise = "each plane's own stride is honoured: the padding never shows",
             .run = ownStrides,
             .needs = needs,
             .readsScreen = true},
            {.name = "ext.put_picture.copies_without_release",
             .promise = "with release NULL the planes are copied before the call returns",
             .run = copiedWithoutRelease,
             .needs = needs,
             .readsScreen = true},
            {.name = "ext.put_picture.release_once",
             .promise = "release is called exactly once for every accepted picture by the time "
                        "destroy returns, and never for a rejected one",
             .run = releasedExactlyOnce,
             .needs = needs,
             .readsScreen = true},
            {.name = "ext.put_picture.release_lets_go",
             .promise = "a shown picture is released once a newer one is on screen, and its planes "
                        "are not read after release",
             .run = releaseLetsGo,
             .needs = needs,
             .readsScreen = true},
            {.name = "ext.put_picture.invalid_rejected",
             .promise = "bad struct_size, size, stride, matrix, range or sample aspect give "
                        "OLM_VOUT_E_INVALID, a NULL picture, plane or stale handle "
                        "OLM_VOUT_E_HANDLE, and no release",
             .run = badPicturesRejected,
             .needs = needs},
            {.name = "ext.put_picture.redraw_keeps_tags",
             .promise = "a redraw after exposure shows the picture with its own matrix and range",
             .run = redrawKeepsTags,
             .needs = needs,
             .readsScreen = true},
        });
}
