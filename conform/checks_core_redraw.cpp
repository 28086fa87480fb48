// core.redraw: the last picture comes back without a new put after exposure, a resize and a
// mode change.

#include "scene.h"

namespace {

// A host showing a 176x144 picture (aspect 11:9) in VOUT_NORMAL, checked before the check acts.
struct ShownPicture {
    xcb_window_t host = 0;
    olm_vout_t* vout = nullptr;
    int width = 0, height = 0;
};
constexpr int kPictureWidth = 176, kPictureHeight = 144;

ShownPicture showNormal(Scene& s, Verdict& verdict, int width, int height) {
    ShownPicture shown{s.host(width, height), nullptr, width, height};
    shown.vout = s.requireOutput(shown.host);
    s.requirePut(shown.vout, flatPicture(kPictureWidth, kPictureHeight, kAmber));
    const RectF want =
        expectedPlacement(VOUT_NORMAL, kPictureWidth, kPictureHeight, 0, 0, width, height);
    const auto seen = s.waitForPlacement(shown.host, want, kAmber);
    s.judgeAndRecord(verdict, seen.image, want, kAmber, "before: VOUT_NORMAL");
    if (verdict.failed())
        stopCheck(verdict.result(), verdict.message());
    return shown;
}

void expectRedrawn(Scene& s, Verdict& verdict, const ShownPicture& shown, int mode,
                   const std::string& label) {
    const RectF want =
        expectedPlacement(mode, kPictureWidth, kPictureHeight, 0, 0, shown.width, shown.height);
    const auto seen = s.waitForPlacement(shown.host, want, kAmber);
    s.judgeAndRecord(verdict, seen.image, want, kAmber, label);
}

Verdict redrawnOnExpose(CheckContext& ctx) {
    Scene s(ctx);
    Verdict verdict;
    const ShownPicture shown = showNormal(s, verdict, 320, 180);
    // A window of the tester's own over the host, then gone: the host is exposed.
    const xcb_window_t cover =
        createHostWindow(s.x, 0, 0, shown.width, shown.height, ctx.scaled(2000));
    if (!cover)
        stopCheck(Result::Unresolved, "the covering window could not be shown");
    xcb_destroy_window(s.x.get(), cover);
    s.x.sync();
    expectRedrawn(s, verdict, shown, VOUT_NORMAL, "after a covering window went");
    setMapped(s.x, shown.host, false);
    setMapped(s.x, shown.host, true);
    if (!waitViewable(s.x, shown.host, ctx.scaled(2000)))
        stopCheck(Result::Unresolved, "the host did not become viewable again");
    expectRedrawn(s, verdict, shown, VOUT_NORMAL, "after the window was unmapped and mapped");
    return verdict;
}

Verdict redrawnOnResize(CheckContext& ctx) {
    Scene s(ctx);
    Verdict verdict;
    ShownPicture shown = showNormal(s, verdict, 320, 180);
    for (const auto& [width, height] : {std::pair{400, 200}, std::pair{200, 300}}) {
        resizeWindow(s.x, shown.host, width, height);
        shown.width = width;
        shown.height = height;
        expectRedrawn(s, verdict, shown, VOUT_NORMAL,
                      "after a resize to " + std::to_string(width) + "x" + std::to_string(height));
    }
    return verdict;
}

Verdict redrawnOnModeChange(CheckContext& ctx) {
    Scene s(ctx);
    Verdict verdict;
    // In a 320x200 window every mode gives another rectangle.
    const ShownPicture shown = showNormal(s, verdict, 320, 200);
    for (int mode : {VOUT_16_9, VOUT_4_3, VOUT_PREFERRED, VOUT_NORMAL}) {
        s.requireMode(shown.vout, mode);
        expectRedrawn(s, verdict, shown, mode, std::string("after setting ") + modeName(mode));
    }
    return verdict;
}

} // namespace

void addCoreRedrawChecks(std::vector<Check>& checks) {
    checks.insert(checks.end(),
                  {
                      {.name = "core.redraw.expose",
                       .promise = "the last picture comes back, with no new put, when the window "
                                  "is exposed (uncovered, or unmapped and mapped)",
                       .run = redrawnOnExpose,
                       .readsScreen = true,
                       .deadlineMs = 20000},
                      {.name = "core.redraw.resize",
                       .promise = "after the window is resized the last picture is shown in the "
                                  "new placement, with no new put",
                       .run = redrawnOnResize,
                       .readsScreen = true,
                       .deadlineMs = 20000},
                      {.name = "core.redraw.mode_change",
                       .promise = "set redraws the last picture in the new mode's placement at "
                                  "once, with no new put",
                       .run = redrawnOnModeChange,
                       .readsScreen = true,
                       .deadlineMs = 20000},
                  });
}
