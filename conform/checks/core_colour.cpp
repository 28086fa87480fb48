// core.colour, core.stride: what olm_vout_put_buffer_pool_yuv's pictures look like. Its pictures
// are BT.601, limited range; U and V rows are (stride + 1) / 2 bytes. Flat patches are sampled
// away from their edges, unscaled and scaled (down to the sizes where a library may reduce a
// picture as it takes it in, and up); where chroma changes it must change on the right row and
// column; row padding holds a loud colour, so a misread stride shows.

#include "checks/registry.h"
#include "checks/scene.h"

namespace {

Verdict flatOddScaled(Scene& s);

Verdict bt601Limited(CheckContext& ctx) {
    Scene s(ctx);
    Verdict verdict;
    const int noPadding[3] = {0, 0, 0};
    s.checkSheet(verdict, kMatrices[0], OLM_VOUT_RANGE_LIMITED, noPadding, false,
                 "BT.601 limited range, stride = width");
    return verdict;
}

// The sheet in windows of other sizes, each shown twice so that the second picture meets an
// output that already knows the size it shows pictures at.
Verdict scaledSheets(CheckContext& ctx) {
    Scene s(ctx);
    Verdict verdict;
    const struct {
        int patch;
        double scale;
    } cases[] = {{96, 0.5}, {96, 0.25}, {48, 1.5}, {48, 2.0 / 3}};
    for (const auto& c : cases) {
        PatchSheet sheet = standardSheet();
        sheet.size = c.patch;
        const int width = int(sheet.width() * c.scale), height = int(sheet.height() * c.scale);
        const HostId host = s.host(width, height);
        olm_vout_t* vout = s.requireOutput(host);
        const RectF where{0, 0, double(width), double(height)};
        for (uint8_t marker : {160, 64}) {
            std::vector<QRgb> expected;
            s.requirePut(
                vout, sheetPicture(sheet, kMatrices[0], OLM_VOUT_RANGE_LIMITED, marker, &expected));
            const auto seen = s.waitFor(host, [&](const QImage& shot) {
                return markerShows(shot, sheet, expected.back(), &where);
            });
            s.judgeAndRecord(verdict, seen.image, sheet, expected,
                             "BT.601 limited range " + std::to_string(sheet.width()) + "x" +
                                 std::to_string(sheet.height()) + " shown " +
                                 std::to_string(width) + "x" + std::to_string(height),
                             &where);
        }
        if (verdict.failed())
            break;
        s.retire(host); // out of the way of the next host's read-back
    }
    if (!verdict.failed())
        verdict.merge(flatOddScaled(s));
    return verdict;
}

// Flat pictures of odd sizes scaled down by about 2 and 4 (through halvings of odd rows and
// columns) and up by 2:
// every pixel, the last row and column included, keeps the colour.
Verdict flatOddScaled(Scene& s) {
    Verdict verdict;
    const QRgb colour = qRgb(200, 60, 190);
    for (const auto& [width, height] :
         {std::pair{80, 48}, std::pair{40, 24}, std::pair{322, 194}}) {
        const HostId host = s.host(width, height);
        olm_vout_t* vout = s.requireOutput(host);
        s.requireMode(vout, VOUT_PREFERRED);
        for (int i = 0; i < 2; ++i) { // twice: the second knows the size it is shown at
            const QRgb shown = i ? colour : kSky;
            s.requirePut(vout, flatPicture(161, 97, shown));
            const auto seen = s.waitFor(host, [&](const QImage& shot) {
                return !judgeFlat(shot, shown, s.colourLimits(), "").failed();
            });
            const Verdict found = judgeFlat(seen.image, shown, s.colourLimits(),
                                            "161x97 flat shown " + std::to_string(width) + "x" +
                                                std::to_string(height));
            if (found.failed())
                s.ctx.saveImage("observed", found.message(), seen.image);
            verdict.merge(found);
        }
        s.retire(host);
        if (verdict.failed())
            break;
    }
    return verdict;
}

// Chroma edges on both axes, unscaled, doubled and halved, and the last column and row of odd
// sizes, which have chroma samples of their own.
Verdict chromaEdges(CheckContext& ctx) {
    Scene s(ctx);
    Verdict verdict;
    const ChromaCross cross{161, 97, 60, 36};
    const YuvPicture picture = chromaCrossPicture(cross);
    const struct {
        int width, height;
        double tolerance;
    } windows[] = {{161, 97, 0.75}, {322, 194, 2.0}, {80, 48, 1.0}};
    for (const auto& w : windows) {
        const HostId host = s.host(w.width, w.height);
        olm_vout_t* vout = s.requireOutput(host);
        s.requireMode(vout, VOUT_PREFERRED);
        const std::string label =
            "161x97 shown " + std::to_string(w.width) + "x" + std::to_string(w.height);
        // A grey first, so that the cross's arrival shows.
        s.expectArrived(verdict, s.showFlat(vout, host, 161, 97, qRgb(128, 128, 128)),
                        qRgb(128, 128, 128), "the window");
        s.requirePut(vout, picture);
        const RectF where{0, 0, double(w.width), double(w.height)};
        const QRgb corner = decode(cross.sampleAt(0, 0), kMatrices[0], OLM_VOUT_RANGE_LIMITED);
        const auto seen = s.waitFor(host, [&](const QImage& shot) {
            return channelDistance(shot.pixel(2, 2), corner) <= 20;
        });
        const Verdict found =
            judgeChromaCross(seen.image, cross, where, w.tolerance, s.colourLimits(), label);
        if (found.result() != Result::Pass)
            s.saveComparison(label, QImage(), seen.image);
        verdict.merge(found);
        if (verdict.failed())
            break;
        s.retire(host);
    }
    return verdict;
}

// Judges the checkerboard picture filling the window: every pixel sharp, the grey half its level.
void judgeDetail(Scene& s, Verdict& verdict, const QImage& shot, uint8_t grey,
                 const std::string& label) {
    const int w = shot.width(), h = shot.height();
    const double contrast = detailContrast(shot, QRect(8, 8, w / 2 - 16, h - 16));
    const QRgb want = decode(Yuv{grey, 128, 128}, kMatrices[0], OLM_VOUT_RANGE_LIMITED);
    const QRgb seen = patchMean(shot, RectF{w / 2.0, 0, double(w), double(h)});
    char text[240];
    if (contrast <= 150) {
        std::snprintf(text, sizeof text,
                      "a checkerboard of single pixels shows blurred %s: neighbours differ by %.0f "
                      "levels on average (255 when sharp, more than 150 expected)",
                      label.c_str(), contrast);
        verdict.failBecause(text);
    } else if (channelDistance(seen, want) > s.colourLimits().warn) {
        verdict.failBecause("colour of the grey half " + label + " shows " + rgbText(seen) +
                            " for " + rgbText(want) + ": off by " +
                            std::to_string(channelDistance(seen, want)) + " levels");
    }
    if (verdict.failed())
        s.ctx.saveImage("observed", label, shot);
}

// A copied picture shown at half its size, then the window grown to its size: the redraw and a
// new picture show every single pixel of a checkerboard (a library that keeps a reduced copy must
// not draw from it once it no longer covers the size shown).
Verdict fullDetail(CheckContext& ctx) {
    Scene s(ctx);
    Verdict verdict;
    constexpr int kWidth = 256, kHeight = 128; // the window grown, in logical pixels
    const HostId host = s.host(kWidth / 2, kHeight / 2);
    // On a scaled output "its own size" is the screen's: the picture has as many pixels as the
    // window covers on screen, and every look is at the screen's pixels.
    const int width = kWidth * s.screenScale(), height = kHeight * s.screenScale();
    s.lookInScreenPixels(true);
    olm_vout_t* vout = s.requireOutput(host);
    auto greyShows = [](uint8_t level) {
        const QRgb want = decode(Yuv{level, 128, 128}, kMatrices[0], OLM_VOUT_RANGE_LIMITED);
        return [want](const QImage& shot) {
            return channelDistance(shot.pixel(shot.width() * 3 / 4, shot.height() / 2), want) <= 20;
        };
    };
    const QRect board(8, 8, width / 2 - 16, height - 16);
    for (uint8_t grey : {200, 60}) { // twice: the second put knows the size it is shown at
        s.requirePut(vout, detailPicture(width, height, grey));
        s.expectArrived(verdict, s.waitFor(host, greyShows(grey)), qRgb(grey, grey, grey),
                        "the right half of the window");
    }
    s.resize(host, kWidth, kHeight);
    const auto redrawn = s.waitFor(host, [&](const QImage& shot) {
        return shot.width() == width && greyShows(60)(shot) && detailContrast(shot, board) > 150;
    });
    judgeDetail(s, verdict, redrawn.image, 60,
                "in the redraw after the window grew to the size of "
                "a picture shown at half its size");
    s.requirePut(vout, detailPicture(width, height, 120));
    const auto fresh = s.waitFor(host, [&](const QImage& shot) {
        return greyShows(120)(shot) && detailContrast(shot, board) > 150;
    });
    judgeDetail(s, verdict, fresh.image, 120, "in a picture put after the window grew");
    return verdict;
}

Verdict paddedRows(CheckContext& ctx) {
    Scene s(ctx);
    Verdict verdict;
    const int width = standardSheet().width();
    for (int padding : {16, 13}) {
        const int stride = width + padding;
        const int strides[3] = {stride, (stride + 1) / 2, (stride + 1) / 2};
        s.checkSheet(verdict, kMatrices[0], OLM_VOUT_RANGE_LIMITED, strides, false,
                     "Y stride " + std::to_string(stride) + " for width " + std::to_string(width));
    }
    return verdict;
}

} // namespace

void addCoreColourChecks(std::vector<Check>& checks) {
    checks.insert(
        checks.end(),
        {
            {.name = "core.colour.bt601_limited",
             .promise = "put's pictures show as BT.601 limited range: flat patches within 4 levels",
             .run = bt601Limited,
             .readsScreen = true},
            {.name = "core.colour.scaled",
             .promise = "put's pictures keep their colours shown at 1/2, 1/4, 2/3 and 3/2 of "
                        "their size; a flat picture of an odd size stays flat to its last row and "
                        "column, halved, quartered or doubled",
             .run = scaledSheets,
             .readsScreen = true,
             .deadlineMs = 20000},
            {.name = "core.colour.edges",
             .promise = "chroma changes on the right column and row (within the scaler's blur), "
                        "unscaled, doubled and halved, and the last column and row of an odd "
                        "size show their own colour",
             .run = chromaEdges,
             .readsScreen = true,
             .deadlineMs = 20000},
            {.name = "core.colour.detail",
             .promise = "a picture shown at its own size (the screen's pixels the window covers, "
                        "on a scaled output too) shows every single pixel of a checkerboard, also "
                        "when redrawn after the window grew from half its size",
             .run = fullDetail,
             .readsScreen = true},
            {.name = "core.stride.padded_rows",
             .promise = "put honours a Y stride above the width, even or odd, with U and V rows of "
                        "(stride + 1) / 2 bytes: the padding never shows",
             .run = paddedRows,
             .readsScreen = true},
        });
}
