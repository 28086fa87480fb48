// ext.put_picture redraws: every attribute of the last picture (its matrix, range, sample
// aspect and turn) survives every kind of redraw with no new put: part of the window exposed,
// the window unmapped and mapped, resized, and the display mode changed; for copied and for
// borrowed pictures. And a borrowed picture put after the window grew is shown at full detail.

#include "checks/guarded_planes.h"
#include "checks/registry.h"
#include "checks/scene.h"

#include <chrono>
#include <thread>

namespace {

const std::vector<std::string> kNeedsPutPicture{"olm_vout_put_picture"};

constexpr int kWidth = 160, kHeight = 96;
constexpr QRgb kQuarters[4] = {0xffdc3c3c, 0xff3cc83c, 0xff3c50dc, 0xffe6e6e6};

struct Tags {
    const ColourMatrix& matrix;
    int range, sarNum, sarDen, rotation;
    std::string text() const {
        return std::string(matrix.name) + (range ? " full range" : " limited range") +
               ", sample aspect " + std::to_string(sarNum) + ":" + std::to_string(sarDen) +
               ", turned " + std::to_string(rotation);
    }
};

YuvPicture quarteredPicture(const Tags& tags, QRgb shown[4]) {
    YuvPicture picture(kWidth, kHeight);
    for (int q = 0; q < 4; ++q) {
        const Yuv sample = encode(kQuarters[q], tags.matrix, tags.range);
        picture.fillRect(q % 2 * kWidth / 2, q / 2 * kHeight / 2, kWidth / 2, kHeight / 2, sample);
        shown[q] = decode(sample, tags.matrix, tags.range);
    }
    return picture;
}

// Shows the picture, then redraws it every way, judging its quarters and extent each time.
Verdict everyRedraw(CheckContext& ctx, Tags tags, bool borrowed) {
    Scene s(ctx);
    GuardedPictures guarded(ctx);
    int windowWidth = 240, windowHeight = 200;
    const HostId host = s.host(windowWidth, windowHeight);
    olm_vout_t* vout = s.requireOutput(host);
    QRgb shown[4];
    const YuvPicture picture = quarteredPicture(tags, shown);
    olm_vout_picture record = borrowed ? guarded.record(guarded.add(picture, "the tagged picture"),
                                                        tags.matrix.code, tags.range)
                                       : picture.record(tags.matrix.code, tags.range);
    record.sar_num = tags.sarNum;
    record.sar_den = tags.sarDen;
    record.struct_size = OLM_VOUT_PICTURE_SIZE_1_1;
    record.rotation = tags.rotation;
    if (s.putPicture(vout, record) == OLM_VOUT_E_INVALID) {
        // A library that knows only the first record: the same picture, not turned.
        tags.rotation = record.rotation = 0;
        record.struct_size = OLM_VOUT_PICTURE_SIZE_1_0;
        s.requirePutPicture(vout, record, tags.text());
    }
    const bool swapped = tags.rotation % 180 != 0;
    Verdict verdict;
    int mode = VOUT_NORMAL;
    auto expectShown = [&](const std::string& after) {
        const RectF rect =
            expectedPlacement(mode, swapped ? kHeight : kWidth, swapped ? kWidth : kHeight,
                              swapped ? tags.sarDen : tags.sarNum,
                              swapped ? tags.sarNum : tags.sarDen, windowWidth, windowHeight);
        const std::string label =
            tags.text() + (borrowed ? ", borrowed" : ", copied") + ", " + after;
        auto judge = [&](const QImage& shot) {
            return judgeQuarters(shot, rect, tags.rotation, shown, s.colourLimits(), label);
        };
        const auto seen =
            s.waitFor(host, [&](const QImage& shot) { return !judge(shot).failed(); });
        const Verdict found = judge(seen.image);
        ctx.saveImage("placement", label + ": " + resultName(found.result()),
                      overlayExpected(seen.image, rect));
        verdict.merge(found);
        return !verdict.failed();
    };
    if (!expectShown("as put"))
        return verdict;
    s.uncover(host, s.cover(host, windowWidth / 2, windowHeight / 3, windowWidth, windowHeight));
    if (!expectShown("after its lower right part was exposed"))
        return verdict;
    s.setHostMapped(host, false);
    s.setHostMapped(host, true);
    if (!expectShown("after the window was unmapped and mapped"))
        return verdict;
    windowWidth = 300;
    windowHeight = 150;
    s.resize(host, windowWidth, windowHeight);
    if (!expectShown("after a resize to 300x150"))
        return verdict;
    for (int next : {VOUT_16_9, VOUT_PREFERRED, VOUT_NORMAL}) {
        mode = next;
        s.requireMode(vout, mode);
        if (!expectShown(std::string("after setting ") + modeName(mode)))
            return verdict;
    }
    return verdict;
}

Verdict copiedRedraws(CheckContext& ctx) {
    return everyRedraw(ctx, {kMatrices[1], OLM_VOUT_RANGE_FULL, 3, 4, 90}, false);
}

Verdict borrowedRedraws(CheckContext& ctx) {
    return everyRedraw(ctx, {kMatrices[3], OLM_VOUT_RANGE_FULL, 4, 3, 270}, true);
}

// Whether the checkerboard's right half shows the grey of level (limited range).
bool greyHalfShows(const QImage& shot, uint8_t level) {
    const QRgb want = decode(Yuv{level, 128, 128}, kMatrices[0], OLM_VOUT_RANGE_LIMITED);
    return channelDistance(shot.pixel(shot.width() * 3 / 4, shot.height() / 2), want) <= 24;
}

// A borrowed picture shown at half its size (twice, so that the output knows that size), then
// the window grown to the picture's size, visibly or while unmapped: a borrowed picture put
// then is shown at its own size, so every pixel of its checkerboard must show, not a version
// reduced for the size the window had.
Verdict sharpAfterGrowth(CheckContext& ctx) {
    Scene s(ctx);
    GuardedPictures guarded(ctx);
    constexpr int kBig = 256, kTall = 128; // the window grown, in logical pixels
    Verdict verdict;
    for (bool unmapped : {false, true}) {
        const HostId host = s.host(kBig / 2, kTall / 2);
        // Pictures as large as the window on screen, and every look in the screen's pixels, so
        // that on a scaled output too "its own size" is the screen's.
        const int big = kBig * s.screenScale(), tall = kTall * s.screenScale();
        const QRect detail(8, 8, big / 2 - 16, tall - 16);
        s.lookInScreenPixels(true);
        olm_vout_t* vout = s.requireOutput(host);
        for (uint8_t grey : {200, 160}) {
            const int small = guarded.add(detailPicture(big, tall, grey),
                                          "a checkerboard picture shown at half its size");
            s.requirePutPicture(vout, guarded.record(small), "a borrowed picture at half its size");
            s.expectArrived(
                verdict,
                s.waitFor(host, [grey](const QImage& shot) { return greyHalfShows(shot, grey); }),
                qRgb(grey, grey, grey), "the right half of the window");
        }
        const std::string when = unmapped ? "put while the window, grown to its size, was unmapped"
                                          : "put after the window grew to its size";
        const int full = guarded.add(detailPicture(big, tall, 90), "the picture " + when);
        if (unmapped)
            s.setHostMapped(host, false);
        s.resize(host, kBig, kTall);
        // Time for the news of the new size to reach the output (no redraw tells it while the
        // window is unmapped).
        std::this_thread::sleep_for(std::chrono::milliseconds(ctx.scaled(100)));
        s.requirePutPicture(vout, guarded.record(full), "a borrowed picture at its own size");
        if (unmapped)
            s.setHostMapped(host, true);
        const auto seen = s.waitFor(host, [&](const QImage& shot) {
            return shot.width() == big && greyHalfShows(shot, 90) &&
                   detailContrast(shot, detail) > 150;
        });
        const double contrast = detailContrast(seen.image, detail);
        if (contrast <= 150) {
            char text[240];
            std::snprintf(text, sizeof text,
                          "a checkerboard of single pixels in a borrowed picture %s shows "
                          "blurred: neighbours differ by %.0f levels on average (255 when sharp, "
                          "more than 150 expected)",
                          when.c_str(), contrast);
            verdict.failBecause(text);
            ctx.saveImage("observed", "checkerboard " + when, seen.image);
            break;
        }
        s.lookInScreenPixels(false);
        s.retire(host);
    }
    return verdict;
}

} // namespace

void addExtRedrawChecks(std::vector<Check>& checks) {
    const auto& needs = kNeedsPutPicture;
    checks.insert(
        checks.end(),
        {
            {.name = "ext.put_picture.redraw_keeps_tags",
             .promise = "a copied BT.709 full-range picture with sample aspect 3:4, turned 90, "
                        "keeps its colours, aspect and turn through every redraw (part exposed, "
                        "unmapped and mapped, resized, each mode)",
             .run = copiedRedraws,
             .needs = needs,
             .readsScreen = true,
             .deadlineMs = 20000},
            {.name = "ext.put_picture.redraw_keeps_tags_borrowed",
             .promise = "a borrowed SMPTE 240M full-range picture with sample aspect 4:3, turned "
                        "270, keeps its colours, aspect and turn through every redraw",
             .run = borrowedRedraws,
             .needs = needs,
             .readsScreen = true,
             .deadlineMs = 20000},
            {.name = "ext.put_picture.sharp_after_growth",
             .promise = "a borrowed picture put after the window grew to its size (visibly, or "
                        "while unmapped) is shown at full detail, not from a version reduced for "
                        "the old size",
             .run = sharpAfterGrowth,
             .needs = needs,
             .readsScreen = true},
        });
}
