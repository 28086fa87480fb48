// core.put.invalid_rejected, core.create.*, ext.put_picture.invalid_rejected: every field of
// every record at and just past each boundary the header sets, and every value it says means
// the default. Table-driven: a new field gets its boundaries by adding one row.

#include "checks/registry.h"
#include "checks/scene.h"

#include <atomic>
#include <climits>

namespace {

// One value of one field, and what the call must return with it.
struct Case {
    int64_t value;
    int want;
};
constexpr int kOk = OLM_VOUT_OK, kInvalid = OLM_VOUT_E_INVALID, kHandle = OLM_VOUT_E_HANDLE;
constexpr int64_t kMax = OLM_VOUT_MAX_DIMENSION;

// A picture record and what its field values mean, for olm_vout_put_picture. The base picture
// is 63x2: an odd width, so that its chroma width (32) is not half of it.
constexpr int kWidth = 63, kChroma = 32;

struct PictureField {
    const char* name;
    void (*set)(olm_vout_picture&, int64_t);
    std::vector<Case> cases;
    bool since11 = false; // a field of version 1.1 of the record
};

void setSize(olm_vout_picture& r, int64_t v) {
    r.struct_size = uint32_t(v);
}
// A width or height also sets the strides to fit, so that only the size is out of range.
void setWidth(olm_vout_picture& r, int64_t v) {
    r.width = int32_t(v);
    if (v > 0 && v <= kMax) {
        r.height = 2;
        r.strides[0] = int32_t(v);
        r.strides[1] = r.strides[2] = int32_t((v + 1) / 2);
    }
}
void setHeight(olm_vout_picture& r, int64_t v) {
    r.height = int32_t(v);
    if (v > 0 && v <= kMax)
        r.width = 2, r.strides[0] = 2, r.strides[1] = r.strides[2] = 1;
}

const std::vector<PictureField>& pictureFields() {
    static const std::vector<PictureField> fields = {
        {"struct_size",
         setSize,
         {{OLM_VOUT_PICTURE_SIZE_1_0, kOk},
          {OLM_VOUT_PICTURE_SIZE_1_1, kOk},
          {0, kInvalid},
          {4, kInvalid},
          {OLM_VOUT_PICTURE_SIZE_1_0 - 1, kInvalid},
          {OLM_VOUT_PICTURE_SIZE_1_0 + 1, kInvalid},
          {OLM_VOUT_PICTURE_SIZE_1_0 + 4, kInvalid},
          {OLM_VOUT_PICTURE_SIZE_1_1 - 1, kInvalid},
          {OLM_VOUT_PICTURE_SIZE_1_1 + 1, kInvalid},
          {OLM_VOUT_PICTURE_SIZE_1_1 + 8, kInvalid},
          {UINT32_MAX, kInvalid}}},
        {"width",
         setWidth,
         {{1, kOk},
          {kMax, kOk},
          {0, kInvalid},
          {-1, kInvalid},
          {kMax + 1, kInvalid},
          {INT32_MIN, kInvalid}}},
        {"height",
         setHeight,
         {{1, kOk},
          {kMax, kOk},
          {0, kInvalid},
          {-1, kInvalid},
          {kMax + 1, kInvalid},
          {INT32_MIN, kInvalid}}},
        {"strides[0]",
         [](olm_vout_picture& r, int64_t v) { r.strides[0] = int32_t(v); },
         {{kWidth, kOk}, {kWidth - 1, kInvalid}, {-1, kInvalid}}},
        {"strides[1]",
         [](olm_vout_picture& r, int64_t v) { r.strides[1] = int32_t(v); },
         {{kChroma, kOk}, {kChroma - 1, kInvalid}, {-1, kInvalid}}},
        {"strides[2]",
         [](olm_vout_picture& r, int64_t v) { r.strides[2] = int32_t(v); },
         {{kChroma, kOk}, {kChroma - 1, kInvalid}, {-1, kInvalid}}},
        {"planes[0]", [](olm_vout_picture& r, int64_t) { r.planes[0] = nullptr; }, {{0, kHandle}}},
        {"planes[1]", [](olm_vout_picture& r, int64_t) { r.planes[1] = nullptr; }, {{0, kHandle}}},
        {"planes[2]", [](olm_vout_picture& r, int64_t) { r.planes[2] = nullptr; }, {{0, kHandle}}},
        {"matrix",
         [](olm_vout_picture& r, int64_t v) { r.matrix = int32_t(v); },
         {{0, kOk},
          {1, kOk},
          {2, kOk},
          {3, kOk},
          {-1, kInvalid},
          {4, kInvalid},
          {INT32_MAX, kInvalid}}},
        {"range",
         [](olm_vout_picture& r, int64_t v) { r.range = int32_t(v); },
         {{0, kOk}, {1, kOk}, {-1, kInvalid}, {2, kInvalid}}},
        {"sar_num",
         [](olm_vout_picture& r, int64_t v) { r.sar_num = int32_t(v); },
         {{0, kOk}, {1, kOk}, {-1, kInvalid}, {INT32_MIN, kInvalid}}},
        {"sar_den",
         [](olm_vout_picture& r, int64_t v) { r.sar_den = int32_t(v); },
         {{0, kOk}, {1, kOk}, {-1, kInvalid}, {INT32_MIN, kInvalid}}},
        {"rotation",
         [](olm_vout_picture& r, int64_t v) {
             r.struct_size = OLM_VOUT_PICTURE_SIZE_1_1;
             r.rotation = int32_t(v);
         },
         {{0, kOk},
          {90, kOk},
          {180, kOk},
          {270, kOk},
          {-90, kInvalid},
          {-1, kInvalid},
          {1, kInvalid},
          {45, kInvalid},
          {89, kInvalid},
          {91, kInvalid},
          {360, kInvalid},
          {INT32_MIN, kInvalid}},
         true},
    };
    return fields;
}

// Release calls for pictures that must never be released (rejected) or exactly once.
struct Releases {
    std::atomic<int> calls{0};
    static void count(void* opaque) { ++static_cast<Releases*>(opaque)->calls; }
};

std::string caseText(const char* field, int64_t value) {
    return std::string(field) + " " + std::to_string(value);
}

Verdict pictureFieldsChecked(CheckContext& ctx) {
    Scene s(ctx);
    const HostId host = s.host(160, 120);
    olm_vout_t* vout = s.requireOutput(host);
    Verdict verdict;
    s.expectArrived(verdict, s.showFlat(vout, host, 160, 120, kAmber), kAmber, "the window");
    // Planes large enough for every case: a full-width row of the largest size, and more.
    YuvPicture planes(int(kMax), 2);
    planes.fill(encode(kSky, kMatrices[0], OLM_VOUT_RANGE_LIMITED));
    const bool knows11 = [&] {
        olm_vout_picture r = planes.record();
        setWidth(r, kWidth);
        r.struct_size = OLM_VOUT_PICTURE_SIZE_1_1;
        return s.putPicture(vout, r) != OLM_VOUT_E_INVALID;
    }();
    s.expectArrived(verdict, s.showFlat(vout, host, 160, 120, kAmber), kAmber, "the window");
    Releases rejected, accepted;
    int acceptedCount = 0;
    olm_vout_stats before{}, after{};
    const bool stats = ctx.api.getStats != nullptr;
    // The rejected ones first, then the screen and the counters must be as they were.
    for (int pass : {0, 1}) {
        if (pass == 1) {
            if (stats)
                ctx.api.getStats(vout, &after);
            if (stats && after.put != before.put)
                verdict.failBecause("rejected pictures were counted as put (put went from " +
                                    std::to_string(before.put) + " to " +
                                    std::to_string(after.put) + ")");
            const auto seen = s.waitFor(
                host, [](const QImage&) { return false; }, 150);
            if (!centreShows(seen.image, kAmber))
                verdict.failBecause("a rejected picture was drawn: the window shows " +
                                    rgbText(seen.image.pixel(80, 60)) + " instead of " +
                                    rgbText(kAmber));
        } else if (stats) {
            ctx.api.getStats(vout, &before);
        }
        for (const PictureField& field : pictureFields()) {
            if (field.since11 && !knows11)
                continue;
            for (const Case& c : field.cases) {
                if ((c.want == kOk) != (pass == 1))
                    continue;
                if (c.value == OLM_VOUT_PICTURE_SIZE_1_1 && field.set == setSize && !knows11)
                    continue;
                olm_vout_picture r = planes.record();
                setWidth(r, kWidth);
                field.set(r, c.value);
                r.release = &Releases::count;
                r.opaque = c.want == kOk ? &accepted : &rejected;
                const int got = s.putPicture(vout, r);
                acceptedCount += got == kOk;
                expectCode(verdict, "olm_vout_put_picture with " + caseText(field.name, c.value),
                           got, c.want);
            }
        }
    }
    if (rejected.calls != 0)
        verdict.failBecause("release was called " + std::to_string(rejected.calls) +
                            " times for rejected pictures");
    ctx.destroy(&vout);
    if (accepted.calls != acceptedCount)
        verdict.failBecause("release was called " + std::to_string(accepted.calls) + " times for " +
                            std::to_string(acceptedCount) +
                            " accepted pictures by the time "
                            "destroy returned");
    return verdict;
}

// olm_vout_put_buffer_pool_yuv's arguments: width, height and stride.
Verdict putArgumentsChecked(CheckContext& ctx) {
    Scene s(ctx);
    const HostId host = s.host(160, 120);
    olm_vout_t* vout = s.requireOutput(host);
    Verdict verdict;
    s.expectArrived(verdict, s.showFlat(vout, host, 160, 120, kAmber), kAmber, "the window");
    YuvPicture p(int(kMax), 2);
    p.fill(encode(kSky, kMatrices[0], OLM_VOUT_RANGE_LIMITED));
    const struct {
        const char* what;
        int64_t stride, width, height;
        int want;
    } cases[] = {
        {"width 0", 64, 0, 2, kInvalid},
        {"width -1", 64, -1, 2, kInvalid},
        {"width above the maximum", kMax + 1, kMax + 1, 1, kInvalid},
        {"width INT32_MIN", 64, INT32_MIN, 2, kInvalid},
        {"height 0", 64, 64, 0, kInvalid},
        {"height -1", 64, 64, -1, kInvalid},
        {"height above the maximum", 2, 2, kMax + 1, kInvalid},
        {"stride one below the width", 63, 64, 2, kInvalid},
        {"stride -1", -1, 64, 2, kInvalid},
        {"width 1", 1, 1, 2, kOk},
        {"width at the maximum", kMax, kMax, 2, kOk},
        {"height at the maximum", 2, 2, kMax, kOk},
        {"height 1, odd stride", 65, 64, 1, kOk},
    };
    uint64_t acceptedCount = 0;
    for (const auto& c : cases) {
        if (c.want == kOk && acceptedCount == 0) {
            // Every rejected one has gone by: nothing of them may show.
            const auto seen = s.waitFor(
                host, [](const QImage&) { return false; }, 150);
            if (!centreShows(seen.image, kAmber))
                verdict.failBecause("a rejected picture was drawn: the window shows " +
                                    rgbText(seen.image.pixel(80, 60)));
        }
        const int got =
            ctx.api.putBufferPoolYuv(vout, p.plane(0), p.plane(1), p.plane(2), int32_t(c.stride),
                                     int32_t(c.width), int32_t(c.height));
        acceptedCount += got == kOk;
        expectCode(verdict, std::string("olm_vout_put_buffer_pool_yuv with ") + c.what, got,
                   c.want);
    }
    if (ctx.api.getStats) {
        olm_vout_stats stats{};
        ctx.api.getStats(vout, &stats);
        if (stats.put != acceptedCount + 1)
            verdict.failBecause("put counts " + std::to_string(stats.put) + " pictures, " +
                                std::to_string(acceptedCount + 1) + " were accepted");
    }
    return verdict;
}

// The creation record: every reserved byte must be zero; every pool depth outside 2..16 (0
// included) means the default, so each gives an output that shows picture after picture.
Verdict creationRecordChecked(CheckContext& ctx) {
    Scene s(ctx);
    const HostId host = s.host(96, 64);
    Verdict verdict;
    // On X11 every reserved byte; on Wayland those past the host's part (where pointers are
    // 32-bit).
    const int firstReserved = s.onWayland() ? 8 + int(sizeof(olm_vout_wayland_host)) : 8;
    for (int offset = firstReserved; offset < int(sizeof(olm_vout_params)); ++offset) {
        olm_vout_params params = s.paramsFor(host);
        reinterpret_cast<uint8_t*>(&params)[offset] = offset == 8 ? 0x80 : 1;
        if (olm_vout_t* vout = ctx.api.create(&params)) {
            verdict.failBecause("olm_vout_create took a record with reserved byte " +
                                std::to_string(offset) + " not zero");
            ctx.destroy(&vout);
        }
    }
    for (uint32_t depth : {0u, 1u, 2u, 16u, 17u, 0xffffffffu}) {
        olm_vout_t* vout = s.create(host, depth);
        const std::string what = "an output with pool_depth " + std::to_string(depth);
        if (!vout) {
            verdict.failBecause("olm_vout_create returned NULL for pool_depth " +
                                std::to_string(depth) +
                                " (2..16 taken, other values mean the "
                                "default)");
            continue;
        }
        for (QRgb colour : {kAmber, kSky, kAmber})
            s.expectArrived(verdict, s.showFlat(vout, host, 96, 64, colour), colour,
                            "the window of " + what);
        ctx.destroy(&vout);
    }
    return verdict;
}

} // namespace

void addCoreArgumentChecks(std::vector<Check>& checks) {
    checks.insert(
        checks.end(),
        {
            {.name = "core.put.invalid_rejected",
             .promise = "put with a size of 0 or less or above the maximum, or a stride below the "
                        "width, returns OLM_VOUT_E_INVALID, draws and counts nothing; the sizes "
                        "at each limit are taken",
             .run = putArgumentsChecked,
             .readsScreen = true},
            {.name = "core.create.record",
             .promise = "create refuses a record with any reserved byte set; every pool depth "
                        "outside 2..16 (0 included) means the default, and each gives a working "
                        "output",
             .run = creationRecordChecked,
             .readsScreen = true,
             .deadlineMs = 20000},
            {.name = "ext.put_picture.invalid_rejected",
             .promise = "every field of the picture record at and just past each limit: the "
                        "values past it give OLM_VOUT_E_INVALID (a NULL plane OLM_VOUT_E_HANDLE), "
                        "draw, count and release nothing; the values at it are taken and "
                        "released once",
             .run = pictureFieldsChecked,
             .needs = {"olm_vout_put_picture"},
             .readsScreen = true},
        });
}
