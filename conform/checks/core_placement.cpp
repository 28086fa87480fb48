// core.placement: where each display mode puts the picture, over window and picture shapes.
// Every case puts a new flat picture (alternating colours, so that its arrival shows) and
// judges the edges against the rectangle computed in floating point.

#include "checks/registry.h"
#include "checks/scene.h"

namespace {

struct Size {
    int width, height;
};

const Size kWindows[] = {{320, 180}, {240, 240}, {360, 120}, {150, 260}};
const Size kOddWindows[] = {{237, 151}, {101, 333}};
const Size kOddPictures[] = {{1, 1}, {33, 17}, {161, 97}};

std::string sizeText(Size s) {
    return std::to_string(s.width) + "x" + std::to_string(s.height);
}

// Each picture in each window, in one mode; one output per window.
Verdict placeAll(CheckContext& ctx, int mode, const std::vector<Size>& windows,
                 const std::vector<Size>& pictures) {
    Scene s(ctx);
    Verdict verdict;
    int shown = 0;
    for (const Size window : windows) {
        const HostId host = s.host(window.width, window.height);
        olm_vout_t* vout = s.requireOutput(host);
        if (mode != VOUT_NORMAL)
            s.requireMode(vout, mode);
        for (const Size picture : pictures) {
            const QRgb colour = shown++ % 2 ? kSky : kAmber;
            const auto seen = s.showFlat(vout, host, picture.width, picture.height, colour);
            const RectF want = expectedPlacement(mode, picture.width, picture.height, 0, 0,
                                                 window.width, window.height);
            s.judgeAndRecord(verdict, seen.image, want, colour,
                             std::string(modeName(mode)) + ", picture " + sizeText(picture) +
                                 " in window " + sizeText(window));
            if (verdict.failed())
                return verdict; // one misplaced picture says it
        }
        s.retire(host); // out of the way of the next host's read-back
    }
    return verdict;
}

std::vector<Size> standardWindows() {
    return {std::begin(kWindows), std::end(kWindows)};
}

Verdict placeNormal(CheckContext& ctx) {
    return placeAll(ctx, VOUT_NORMAL, standardWindows(), {{320, 240}, {176, 144}, {90, 160}});
}
Verdict place43(CheckContext& ctx) {
    return placeAll(ctx, VOUT_4_3, standardWindows(), {{320, 240}});
}
Verdict place169(CheckContext& ctx) {
    return placeAll(ctx, VOUT_16_9, standardWindows(), {{320, 240}});
}
Verdict placePreferred(CheckContext& ctx) {
    return placeAll(ctx, VOUT_PREFERRED, standardWindows(), {{320, 240}});
}

Verdict placeOddSizes(CheckContext& ctx) {
    Verdict verdict;
    const std::vector<Size> windows(std::begin(kOddWindows), std::end(kOddWindows));
    const std::vector<Size> pictures(std::begin(kOddPictures), std::end(kOddPictures));
    verdict.merge(placeAll(ctx, VOUT_NORMAL, windows, pictures));
    if (!verdict.failed())
        verdict.merge(placeAll(ctx, VOUT_PREFERRED, windows, pictures));
    return verdict;
}

} // namespace

void addCorePlacementChecks(std::vector<Check>& checks) {
    checks.insert(checks.end(),
                  {
                      {.name = "core.placement.normal",
                       .promise = "VOUT_NORMAL shows the picture at its own aspect, as large as "
                                  "fits, centred, black around",
                       .run = placeNormal,
                       .readsScreen = true,
                       .deadlineMs = 30000},
                      {.name = "core.placement.4_3",
                       .promise = "VOUT_4_3 shows the picture in a 4:3 rectangle, as large as "
                                  "fits, centred, black around",
                       .run = place43,
                       .readsScreen = true,
                       .deadlineMs = 20000},
                      {.name = "core.placement.16_9",
                       .promise = "VOUT_16_9 shows the picture in a 16:9 rectangle, as large as "
                                  "fits, centred, black around",
                       .run = place169,
                       .readsScreen = true,
                       .deadlineMs = 20000},
                      {.name = "core.placement.preferred",
                       .promise = "VOUT_PREFERRED stretches the picture over the whole window",
                       .run = placePreferred,
                       .readsScreen = true,
                       .deadlineMs = 20000},
                      {.name = "core.placement.odd_sizes",
                       .promise = "odd picture sizes (1x1, 33x17, 161x97) in odd windows are "
                                  "placed within a pixel in VOUT_NORMAL and VOUT_PREFERRED",
                       .run = placeOddSizes,
                       .readsScreen = true,
                       .deadlineMs = 30000},
                  });
}
