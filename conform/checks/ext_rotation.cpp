// ext.put_picture.rotation: the first growth of olm_vout_picture. A picture turned 90, 180 or
// 270 degrees clockwise stands the right way up (its display aspect turned with it, its corners
// where the turn puts them), and a record of the first version, which ends before the turn,
// still shows its picture unturned.

#include "checks/registry.h"
#include "checks/scene.h"

#include <cstring>

namespace {

const std::vector<std::string> kNeedsPutPicture{"olm_vout_put_picture"};

// A 16:9 picture in four quarters of their own colours, top left, top right, bottom left, bottom
// right, BT.601 limited range.
constexpr int kWidth = 160, kHeight = 90;
constexpr QRgb kQuarterColours[4] = {0xffdc3c3c, 0xff3cc83c, 0xff3c50dc, 0xffe6e6e6};

YuvPicture quarteredPicture() {
    YuvPicture picture(kWidth, kHeight);
    for (int q = 0; q < 4; ++q)
        picture.fillRect(q % 2 * kWidth / 2, q / 2 * kHeight / 2, kWidth / 2, kHeight / 2,
                         encode(kQuarterColours[q], kMatrices[0], OLM_VOUT_RANGE_LIMITED));
    return picture;
}

olm_vout_picture turnedRecord(const YuvPicture& picture, int rotation) {
    olm_vout_picture record = picture.record();
    record.struct_size = OLM_VOUT_PICTURE_SIZE_1_1;
    record.rotation = rotation;
    return record;
}

// Where the centre of quarter q of the picture lands in rect once turned clockwise by rotation.
QPoint turnedQuarterCentre(int q, int rotation, const RectF& rect) {
    // The quarter's centre in the picture, in 0..1, turned about the picture's centre.
    double x = q % 2 ? 0.75 : 0.25, y = q / 2 ? 0.75 : 0.25;
    for (int turns = rotation / 90; turns > 0; --turns) {
        const double turnedX = 1 - y, turnedY = x; // a quarter turn clockwise
        x = turnedX;
        y = turnedY;
    }
    return QPoint(int(rect.left + x * rect.width()), int(rect.top + y * rect.height()));
}

// Skips the check for a library that knows only the first version of the record: it refuses
// the current one but takes the first.
void requireTurns(Scene& s, olm_vout_t* vout) {
    const YuvPicture probe = flatPicture(kWidth, kHeight, kAmber);
    const int current = s.putPicture(vout, turnedRecord(probe, 0));
    if (current == OLM_VOUT_OK)
        return;
    olm_vout_picture first = probe.record();
    first.struct_size = OLM_VOUT_PICTURE_SIZE_1_0;
    if (current == OLM_VOUT_E_INVALID && s.putPicture(vout, first) == OLM_VOUT_OK)
        stopCheck(Result::Skip, "the library knows only the first version of olm_vout_picture "
                                "(no rotation)");
    stopFailed("olm_vout_put_picture of a record of size " +
                   std::to_string(OLM_VOUT_PICTURE_SIZE_1_1) + " to return " +
                   codeName(OLM_VOUT_OK),
               codeName(current));
}

Verdict eachTurn(CheckContext& ctx) {
    Scene s(ctx);
    constexpr int kWindow = 200; // square: a quarter turn makes the picture portrait
    const HostId host = s.host(kWindow, kWindow);
    olm_vout_t* vout = s.requireOutput(host);
    requireTurns(s, vout);
    const YuvPicture quarters = quarteredPicture();
    const ColourLimits limits = s.colourLimits();
    Verdict verdict;
    int shown = 0;
    for (int rotation : {90, 180, 270, 0}) {
        const bool swapped = rotation % 180 != 0;
        for (int mode : {VOUT_NORMAL, VOUT_16_9}) {
            s.requireMode(vout, mode);
            const std::string label = "turned " + std::to_string(rotation) + ", " + modeName(mode);
            // The shape: a flat picture of the turned aspect, judged as any placement.
            const QRgb colour = shown++ % 2 ? kSky : kAmber;
            expectCode(
                verdict, "olm_vout_put_picture of a flat picture " + label,
                s.putPicture(vout, turnedRecord(flatPicture(kWidth, kHeight, colour), rotation)),
                OLM_VOUT_OK);
            const RectF want =
                expectedPlacement(mode, swapped ? kHeight : kWidth, swapped ? kWidth : kHeight, 0,
                                  0, kWindow, kWindow);
            s.judgeAndRecord(verdict, s.waitForPlacement(host, want, colour).image, want, colour,
                             label);
            // The corners: each quarter where the turn puts it.
            expectCode(verdict, "olm_vout_put_picture of the quarters " + label,
                       s.putPicture(vout, turnedRecord(quarters, rotation)), OLM_VOUT_OK);
            auto quartersShow = [&](const QImage& shot, int* worst, int* worstQuarter) {
                *worst = 0;
                for (int q = 0; q < 4; ++q) {
                    const QPoint at = turnedQuarterCentre(q, rotation, want);
                    const int distance = channelDistance(shot.pixel(at), kQuarterColours[q]);
                    if (distance > *worst) {
                        *worst = distance;
                        *worstQuarter = q;
                    }
                }
                return *worst <= limits.pass;
            };
            int worst = 0, quarter = 0;
            const Scene::Seen seen = s.waitFor(
                host, [&](const QImage& shot) { return quartersShow(shot, &worst, &quarter); });
            quartersShow(seen.image, &worst, &quarter);
            static const char* const kNames[4] = {"top left", "top right", "bottom left",
                                                  "bottom right"};
            const QPoint at = turnedQuarterCentre(quarter, rotation, want);
            if (worst > limits.warn) {
                verdict.fail(std::string("the picture's ") + kNames[quarter] + " quarter (" +
                                 rgbText(kQuarterColours[quarter]) + ") at (" +
                                 std::to_string(at.x()) + "," + std::to_string(at.y()) + "), " +
                                 label,
                             rgbText(seen.image.pixel(at)));
                ctx.saveImage("observed", label, seen.image);
            } else if (worst > limits.pass) {
                verdict.warn(std::string("the ") + kNames[quarter] + " quarter " +
                             std::to_string(worst) + " levels off, " + label);
            }
            if (verdict.failed())
                return verdict; // one wrong turn says it; the others would only wait too
        }
    }
    return verdict;
}

Verdict firstRecord(CheckContext& ctx) {
    Scene s(ctx);
    constexpr int kWindow = 200;
    const HostId host = s.host(kWindow, kWindow);
    olm_vout_t* vout = s.requireOutput(host);
    // A caller of the first version knows nothing past `opaque`; what lies there is not its.
    const YuvPicture picture = flatPicture(kWidth, kHeight, kSky);
    olm_vout_picture record = picture.record();
    record.struct_size = OLM_VOUT_PICTURE_SIZE_1_0;
    std::memset(&record.rotation, 0x5a, sizeof record.rotation);
    Verdict verdict;
    expectCode(verdict, "olm_vout_put_picture of a first-version record",
               s.putPicture(vout, record), OLM_VOUT_OK);
    const RectF want = expectedPlacement(VOUT_NORMAL, kWidth, kHeight, 0, 0, kWindow, kWindow);
    s.judgeAndRecord(verdict, s.waitForPlacement(host, want, kSky).image, want, kSky,
                     "first-version record, not turned");
    return verdict;
}

Verdict badTurnsRejected(CheckContext& ctx) {
    Scene s(ctx);
    const HostId host = s.host(64, 64);
    olm_vout_t* vout = s.requireOutput(host);
    requireTurns(s, vout);
    const YuvPicture picture = flatPicture(kWidth, kHeight, kAmber);
    Verdict verdict;
    for (int rotation : {45, -90, 360, 1}) {
        expectCode(verdict, "olm_vout_put_picture turned " + std::to_string(rotation),
                   s.putPicture(vout, turnedRecord(picture, rotation)), OLM_VOUT_E_INVALID);
    }
    return verdict;
}

} // namespace

void addExtRotationChecks(std::vector<Check>& checks) {
    const auto& needs = kNeedsPutPicture;
    checks.insert(checks.end(),
                  {
                      {.name = "ext.put_picture.rotation.turns",
                       .promise = "a picture turned 90, 180 or 270 degrees shows at its turned "
                                  "display aspect with each corner where the turn puts it, also "
                                  "after a mode change",
                       .run = eachTurn,
                       .needs = needs,
                       .readsScreen = true,
                       .deadlineMs = 30000},
                      {.name = "ext.put_picture.rotation.first_record",
                       .promise = "a record of the first version (OLM_VOUT_PICTURE_SIZE_1_0) is "
                                  "taken and its picture shown unturned",
                       .run = firstRecord,
                       .needs = needs,
                       .readsScreen = true},
                      {.name = "ext.put_picture.rotation.invalid_rejected",
                       .promise = "a rotation other than 0, 90, 180 or 270 gives "
                                  "OLM_VOUT_E_INVALID",
                       .run = badTurnsRejected,
                       .needs = needs},
                  });
}
