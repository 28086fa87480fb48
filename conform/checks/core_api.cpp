// core.handles, core.modes, core.put: the result codes and handle rules of the five functions.

#include "checks/registry.h"
#include "checks/scene.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace {

constexpr int kWidth = 320, kHeight = 240;

// A display name that no server has: neither its socket nor its lock file exists.
std::string unansweredDisplay() {
    for (int n = 4900;; ++n) {
        const std::string number = std::to_string(n);
        if (access(("/tmp/.X11-unix/X" + number).c_str(), F_OK) != 0 &&
            access(("/tmp/.X" + number + "-lock").c_str(), F_OK) != 0)
            return ":" + number;
    }
}

Verdict createRejectsBadRecords(CheckContext& ctx) {
    Scene s(ctx);
    const HostId host = s.host(kWidth, kHeight);
    Verdict verdict;
    auto expectNull = [&](const olm_vout_params* params, const std::string& what) {
        if (ctx.api.create(params) != nullptr)
            verdict.fail("NULL from olm_vout_create for " + what, "a handle");
    };
    expectNull(nullptr, "a null record");
    if (s.onWayland()) {
        olm_vout_params params = s.paramsFor(host);
        params.window = host;
        expectNull(&params, "a Wayland host with a window id");
        params = s.paramsFor(host);
        params.wayland.display = nullptr;
        expectNull(&params, "a Wayland host with no wl_display");
        params = s.paramsFor(host);
        params.wayland.surface = nullptr;
        expectNull(&params, "a Wayland host with no wl_surface");
        params = s.paramsFor(host);
        params.wayland.platform = 2;
        expectNull(&params, "platform 2, which no library knows yet");
        return verdict;
    }
    olm_vout_params params{};
    expectNull(&params, "window 0");
    for (int offset : {8, 23, 39}) {
        params = {};
        params.window = host;
        params.pool_depth = 3;
        reinterpret_cast<uint8_t*>(&params)[offset] = 1;
        expectNull(&params, "a non-zero reserved byte at offset " + std::to_string(offset));
    }
    // A pixmap's id, and an id nobody created.
    const xcb_pixmap_t pixmap = xcb_generate_id(s.x.get());
    xcb_create_pixmap(s.x.get(), s.x.screen()->root_depth, pixmap, host, 16, 16);
    s.x.sync();
    params = {};
    params.window = pixmap;
    expectNull(&params, "a pixmap's id");
    params.window = xcb_generate_id(s.x.get());
    expectNull(&params, "an id that names nothing");
    // An input-only window: nothing can be drawn in it, nor in a window inside it.
    const xcb_window_t inputOnly = xcb_generate_id(s.x.get());
    xcb_create_window(s.x.get(), 0, inputOnly, host, 0, 0, 64, 48, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    s.x.sync();
    params.window = inputOnly;
    expectNull(&params, "an input-only window");
    // No X display: $DISPLAY unset, then naming a display no server answers. An output made
    // first catches a library that keeps reaching the display it reached once.
    olm_vout_t* vout = s.requireOutput(host);
    ctx.destroy(&vout);
    params.window = host;
    const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    unsetenv("DISPLAY");
    expectNull(&params, "$DISPLAY unset");
    setenv("DISPLAY", unansweredDisplay().c_str(), 1);
    expectNull(&params, std::string("$DISPLAY ") + std::getenv("DISPLAY") + ", where no server is");
    setenv("DISPLAY", display.c_str(), 1);
    return verdict;
}

Verdict staleHandlesRejected(CheckContext& ctx) {
    Scene s(ctx);
    olm_vout_t* vout = s.requireOutput(s.host(kWidth, kHeight));
    olm_vout_t* const stale = vout;
    ctx.destroy(&vout);
    // Also a handle that never was one: memory of the tester's own.
    alignas(64) static uint8_t madeUp[256] = {};
    const YuvPicture picture = flatPicture(64, 48, kAmber);
    Verdict verdict;
    for (olm_vout_t* handle : {stale, reinterpret_cast<olm_vout_t*>(madeUp)}) {
        const std::string which = handle == stale ? "a destroyed handle" : "a made-up handle";
        olm_vout_t* copy = handle;
        expectCode(verdict, "olm_vout_destroy of " + which, ctx.destroy(&copy), OLM_VOUT_E_HANDLE);
        if (copy != handle)
            verdict.fail("olm_vout_destroy of " + which + " to leave the variable alone",
                         "it changed");
        int32_t mode = 77;
        expectCode(verdict, "olm_vout_get_display_mode on " + which,
                   ctx.api.getDisplayMode(handle, &mode), OLM_VOUT_E_HANDLE);
        if (mode != 77)
            verdict.fail("no mode written for " + which, std::to_string(mode));
        expectCode(verdict, "olm_vout_set_display_mode on " + which,
                   ctx.api.setDisplayMode(handle, VOUT_4_3), OLM_VOUT_E_HANDLE);
        expectCode(verdict, "olm_vout_put_buffer_pool_yuv on " + which, s.put(handle, picture),
                   OLM_VOUT_E_HANDLE);
        if (ctx.api.setVideoRect)
            expectCode(verdict, "olm_vout_set_video_rect on " + which,
                       ctx.api.setVideoRect(handle, 0, 0, 64, 48), OLM_VOUT_E_HANDLE);
    }
    return verdict;
}

Verdict nullArgumentsRejected(CheckContext& ctx) {
    Scene s(ctx);
    olm_vout_t* vout = s.requireOutput(s.host(kWidth, kHeight));
    Verdict verdict;
    expectCode(verdict, "olm_vout_destroy(NULL)", ctx.destroy(nullptr), OLM_VOUT_E_HANDLE);
    olm_vout_t* none = nullptr;
    expectCode(verdict, "olm_vout_destroy of a NULL handle", ctx.destroy(&none), OLM_VOUT_E_HANDLE);
    expectCode(verdict, "olm_vout_get_display_mode with a NULL mode",
               ctx.api.getDisplayMode(vout, nullptr), OLM_VOUT_E_HANDLE);
    int32_t mode = 0;
    expectCode(verdict, "olm_vout_get_display_mode on a NULL handle",
               ctx.api.getDisplayMode(nullptr, &mode), OLM_VOUT_E_HANDLE);
    const YuvPicture p = flatPicture(64, 48, kAmber);
    const char* names[3] = {"Y", "U", "V"};
    for (int missing = 0; missing < 3; ++missing) {
        const uint8_t* planes[3] = {p.plane(0), p.plane(1), p.plane(2)};
        planes[missing] = nullptr;
        expectCode(verdict,
                   std::string("olm_vout_put_buffer_pool_yuv with a NULL ") + names[missing] +
                       " plane",
                   ctx.api.putBufferPoolYuv(vout, planes[0], planes[1], planes[2], 64, 64, 48),
                   OLM_VOUT_E_HANDLE);
    }
    return verdict;
}

Verdict twoOutputsAtOnce(CheckContext& ctx) {
    Scene s(ctx);
    const HostId hosts[2] = {s.host(kWidth, 180), s.host(kWidth, 180)};
    olm_vout_t* outputs[2] = {s.requireOutput(hosts[0]), s.requireOutput(hosts[1])};
    const int modes[2] = {VOUT_4_3, VOUT_16_9};
    const QRgb colours[2] = {kAmber, kSky};
    Verdict verdict;
    for (int i = 0; i < 2; ++i) {
        s.requireMode(outputs[i], modes[i]);
        s.requirePut(outputs[i], flatPicture(320, 240, colours[i]));
    }
    for (int i = 0; i < 2; ++i) {
        const RectF want = expectedPlacement(modes[i], 320, 240, 0, 0, kWidth, 180);
        const auto seen = s.waitForPlacement(hosts[i], want, colours[i]);
        s.judgeAndRecord(verdict, seen.image, want, colours[i],
                         std::string("output ") + std::to_string(i + 1) + " of 2, " +
                             modeName(modes[i]));
        int32_t mode = -1;
        ctx.api.getDisplayMode(outputs[i], &mode);
        if (mode != modes[i])
            verdict.fail(std::string("output ") + std::to_string(i + 1) + " to keep " +
                             modeName(modes[i]),
                         std::to_string(mode));
    }
    return verdict;
}

Verdict startsNormalAndBlack(CheckContext& ctx) {
    Scene s(ctx);
    const HostId host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    Verdict verdict;
    int32_t mode = -1;
    expectCode(verdict, "olm_vout_get_display_mode", ctx.api.getDisplayMode(vout, &mode),
               OLM_VOUT_OK);
    if (mode != VOUT_NORMAL)
        verdict.fail("VOUT_NORMAL on a new output", std::to_string(mode));
    const auto black = [](const QImage& shot) {
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x)
                if (channelDistance(shot.pixel(x, y), qRgb(0, 0, 0)) > 12)
                    return false;
        return true;
    };
    const auto seen = s.waitFor(host, black);
    if (!seen.arrived)
        verdict.fail("a new output's window all black before its first picture",
                     rgbText(seen.image.pixel(0, 0)) + " at (0,0), " +
                         rgbText(seen.image.pixel(kWidth / 2, kHeight / 2)) + " at the centre");
    return verdict;
}

Verdict unknownModesRejected(CheckContext& ctx) {
    Scene s(ctx);
    olm_vout_t* vout = s.requireOutput(s.host(kWidth, kHeight));
    s.requireMode(vout, VOUT_PREFERRED);
    Verdict verdict;
    for (int32_t bad : {-1, 4, INT32_MIN, INT32_MAX}) {
        expectCode(verdict, "olm_vout_set_display_mode(" + std::to_string(bad) + ")",
                   ctx.api.setDisplayMode(vout, bad), OLM_VOUT_E_INVALID);
        int32_t mode = -1;
        ctx.api.getDisplayMode(vout, &mode);
        if (mode != VOUT_PREFERRED)
            verdict.fail("the mode to stay VOUT_PREFERRED after setting " + std::to_string(bad),
                         std::to_string(mode));
    }
    return verdict;
}

// olm_vout_set_video_rect refuses an X11 output (it follows its window by itself), a negative
// size and a rectangle past 32767 in any direction; the live rectangle is then still taken.
Verdict videoRectRejected(CheckContext& ctx) {
    Scene s(ctx);
    const HostId host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    Verdict verdict;
    if (!s.onWayland()) {
        expectCode(verdict, "olm_vout_set_video_rect on an X11 output",
                   ctx.api.setVideoRect(vout, 0, 0, kWidth, kHeight), OLM_VOUT_E_INVALID);
        return verdict;
    }
    const struct {
        const char* what;
        int32_t x, y, width, height;
    } cases[] = {
        {"width -1", 0, 0, -1, kHeight},
        {"height -1", 0, 0, kWidth, -1},
        {"width INT32_MIN", 0, 0, INT32_MIN, kHeight},
        {"width 40000", 0, 0, 40000, kHeight},
        {"height 40000", 0, 0, kWidth, 40000},
        {"x 40000", 40000, 0, kWidth, kHeight},
        {"y 40000", 0, 40000, kWidth, kHeight},
        {"x -40000", -40000, 0, kWidth, kHeight},
        {"y -40000", 0, -40000, kWidth, kHeight},
        {"x INT32_MAX", INT32_MAX, 0, kWidth, kHeight},
        {"y INT32_MIN", 0, INT32_MIN, kWidth, kHeight},
    };
    for (const auto& c : cases)
        expectCode(verdict, std::string("olm_vout_set_video_rect with ") + c.what,
                   ctx.api.setVideoRect(vout, c.x, c.y, c.width, c.height), OLM_VOUT_E_INVALID);
    s.resize(host, kWidth, kHeight); // the rectangle it has: OLM_VOUT_OK
    return verdict;
}

} // namespace

void addCoreApiChecks(std::vector<Check>& checks) {
    checks.insert(
        checks.end(),
        {
            {.name = "core.handles.create_rejects",
             .promise = "create returns NULL for a null record, window 0, a non-zero reserved "
                        "byte, a pixmap's id, an id that names nothing, an input-only window, "
                        "and with no X display ($DISPLAY unset or naming no server)",
             .run = createRejectsBadRecords},
            {.name = "core.handles.stale_rejected",
             .promise = "every function given a destroyed or made-up handle returns "
                        "OLM_VOUT_E_HANDLE and writes nothing",
             .run = staleHandlesRejected},
            {.name = "core.handles.null_arguments",
             .promise = "destroy(NULL), destroy of a NULL handle, get with a NULL mode or handle "
                        "and put with a NULL plane return OLM_VOUT_E_HANDLE",
             .run = nullArgumentsRejected},
            {.name = "core.handles.two_outputs",
             .promise =
                 "two outputs on two windows live side by side, each with its own mode and picture",
             .run = twoOutputsAtOnce,
             .readsScreen = true},
            {.name = "core.modes.initial_normal_black",
             .promise =
                 "a new output is in VOUT_NORMAL and its window is black until the first picture",
             .run = startsNormalAndBlack,
             .readsScreen = true},
            {.name = "core.modes.invalid_rejected",
             .promise = "set with an unknown mode returns OLM_VOUT_E_INVALID and leaves the mode "
                        "as it was",
             .run = unknownModesRejected},
            {.name = "ext.set_video_rect.invalid_rejected",
             .promise = "set_video_rect returns OLM_VOUT_E_INVALID for an X11 output, and on "
                        "Wayland for a negative width or height or a rectangle beyond 32767 in "
                        "any direction",
             .run = videoRectRejected,
             .needs = {"olm_vout_set_video_rect"}},
        });
}
