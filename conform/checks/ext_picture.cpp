// ext.put_picture: pictures that say what they are (matrix, range, sample aspect, per-plane
// strides), unscaled and scaled, copied or borrowed. Release and redraws have files of their
// own (ext_release.cpp, ext_redraw.cpp).

#include "checks/guarded_planes.h"
#include "checks/registry.h"
#include "checks/scene.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

const std::vector<std::string> kNeedsPutPicture{"olm_vout_put_picture"};

// Puts the standard sheet, tagged, on an output that may already show another picture; the
// marker level tells this picture from the one before.
void showTaggedSheet(Scene& s, Verdict& verdict, olm_vout_t* vout, HostId host,
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
    const HostId host = s.host(sheet.width(), sheet.height());
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
    const HostId host = s.host(kWidth, kHeight);
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
        if (verdict.failed())
            break;
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
    const HostId host = s.host(kWidth, kHeight);
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

// One output showing pictures at a size other than their own, borrowed (guarded) or copied.
struct Lane {
    PatchSheet sheet;
    double scale;
    bool borrowed;
    HostId host = 0;
    olm_vout_t* vout = nullptr;
    RectF where{};
    std::string how{};
    std::vector<QRgb> expected{};
};

// Every matrix and range in turn, on several outputs side by side (each put to all, then each
// judged, so that their waits overlap).
void everyTagScaled(Scene& s, Verdict& verdict, std::vector<Lane> lanes) {
    GuardedPictures guarded(s.ctx);
    for (Lane& lane : lanes) {
        const int width = int(lane.sheet.width() * lane.scale);
        const int height = int(lane.sheet.height() * lane.scale);
        lane.host = s.host(width, height);
        lane.vout = s.requireOutput(lane.host);
        lane.where = RectF{0, 0, double(width), double(height)};
        lane.how = std::string(lane.borrowed ? "borrowed" : "copied") + ", " +
                   std::to_string(lane.sheet.width()) + "x" + std::to_string(lane.sheet.height()) +
                   " shown " + std::to_string(width) + "x" + std::to_string(height);
    }
    // Each tag once, then the first again: by then each output knows the size it shows at.
    for (int i = 0; i <= 8; ++i) {
        const ColourMatrix& matrix = kMatrices[i % 4];
        const int range = (i / 4) % 2 ? OLM_VOUT_RANGE_FULL : OLM_VOUT_RANGE_LIMITED;
        const std::string tag = std::string(matrix.name) + " " + rangeName(range) + ", ";
        for (Lane& lane : lanes) {
            const YuvPicture picture =
                sheetPicture(lane.sheet, matrix, range, i % 2 ? 64 : 160, &lane.expected);
            const olm_vout_picture record =
                lane.borrowed
                    ? guarded.record(guarded.add(picture, "the picture " + tag + lane.how),
                                     matrix.code, range)
                    : picture.record(matrix.code, range);
            s.requirePutPicture(lane.vout, record, tag + lane.how);
        }
        for (Lane& lane : lanes) {
            const auto seen = s.waitFor(lane.host, [&](const QImage& shot) {
                return markerShows(shot, lane.sheet, lane.expected.back(), &lane.where);
            });
            s.judgeAndRecord(verdict, seen.image, lane.sheet, lane.expected, tag + lane.how,
                             &lane.where);
        }
        if (verdict.failed())
            return; // one wrong colour says it; the rest would only take time
    }
}

Verdict reducedColours(CheckContext& ctx) {
    Scene s(ctx);
    PatchSheet sheet = standardSheet();
    sheet.size = 96; // 384x192: a quarter still has whole chroma samples
    Verdict verdict;
    everyTagScaled(s, verdict, {{sheet, 0.5, true}, {sheet, 0.25, true}, {sheet, 0.5, false}});
    return verdict;
}

Verdict scaledColours(CheckContext& ctx) {
    Scene s(ctx);
    const PatchSheet sheet = standardSheet();
    Verdict verdict;
    everyTagScaled(s, verdict, {{sheet, 1.5, false}, {sheet, 2.0 / 3, false}, {sheet, 1.5, true}});
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
            {.name = "ext.put_picture.colour_reduced",
             .promise = "every matrix and range keeps its colours shown at 1/2 and 1/4 of the "
                        "picture's size, borrowed (where a library may reduce it in put) or "
                        "copied",
             .run = reducedColours,
             .needs = needs,
             .readsScreen = true,
             .deadlineMs = 30000},
            {.name = "ext.put_picture.colour_scaled",
             .promise = "every matrix and range keeps its colours shown at 3/2 and 2/3 of the "
                        "picture's size, copied or borrowed",
             .run = scaledColours,
             .needs = needs,
             .readsScreen = true,
             .deadlineMs = 30000},
        });
}
