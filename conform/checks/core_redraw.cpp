// core.redraw: the last picture comes back without a new put after exposure (whole or part of
// the window), a resize (also while covered, or right after create) and a mode change; changes
// of other windows move nothing.

#include "checks/registry.h"
#include "checks/scene.h"

#include <chrono>
#include <thread>

namespace {

// A host showing a 176x144 picture (aspect 11:9) in VOUT_NORMAL, checked before the check acts.
struct ShownPicture {
    HostId host = 0;
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
    // A window of the tester's own over the host, then gone: the host is exposed; then over
    // a part of it only (the right and lower part, picture and border).
    s.uncover(shown.host, s.cover(shown.host, 0, 0, shown.width, shown.height));
    expectRedrawn(s, verdict, shown, VOUT_NORMAL, "after a covering window went");
    s.uncover(shown.host, s.cover(shown.host, shown.width * 2 / 3, shown.height / 2, shown.width,
                                  shown.height));
    expectRedrawn(s, verdict, shown, VOUT_NORMAL, "after its lower right part was exposed");
    s.setHostMapped(shown.host, false);
    s.setHostMapped(shown.host, true);
    expectRedrawn(s, verdict, shown, VOUT_NORMAL, "after the window was unmapped and mapped");
    return verdict;
}

Verdict redrawnOnResize(CheckContext& ctx) {
    Scene s(ctx);
    Verdict verdict;
    ShownPicture shown = showNormal(s, verdict, 320, 180);
    // Wider, then narrower but taller, then smaller both ways, then much larger.
    for (const auto& [width, height] : {std::pair{400, 200}, std::pair{200, 300},
                                        std::pair{160, 120}, std::pair{640, 400}}) {
        s.resize(shown.host, width, height);
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

// The window resized while a window of the tester's covers it whole: once uncovered, the
// picture shows in the placement for the new size.
Verdict resizedWhileCovered(CheckContext& ctx) {
    Scene s(ctx);
    Verdict verdict;
    ShownPicture shown = showNormal(s, verdict, 320, 180);
    const xcb_window_t cover = s.cover(shown.host, 0, 0, 400, 300);
    s.resize(shown.host, 240, 240);
    shown.width = shown.height = 240;
    s.waitFor(
        shown.host, [](const QImage&) { return false; }, 150);
    s.uncover(shown.host, cover);
    expectRedrawn(s, verdict, shown, VOUT_NORMAL, "resized to 240x240 while covered");
    return verdict;
}

// The host resized right after the output was created, before any picture: the first picture
// shows in the placement for the new size.
Verdict resizedAsCreated(CheckContext& ctx) {
    Scene s(ctx);
    Verdict verdict;
    const HostId host = s.host(320, 180);
    olm_vout_t* vout = s.requireOutput(host);
    if (s.onWayland())
        s.resize(host, 200, 260);
    else
        resizeWindow(s.x, host, 200, 260); // at once: no look at the screen before

    s.requirePut(vout, flatPicture(kPictureWidth, kPictureHeight, kSky));
    const RectF want =
        expectedPlacement(VOUT_NORMAL, kPictureWidth, kPictureHeight, 0, 0, 200, 260);
    s.judgeAndRecord(verdict, s.waitForPlacement(host, want, kSky).image, want, kSky,
                     "window resized to 200x260 right after create");
    return verdict;
}

// The host resized, or mapped, while olm_vout_create runs (from another client, a moment after
// the call began, at several moments): the output must end up following the host as it is.
Verdict changedDuringCreate(CheckContext& ctx) {
    Scene s(ctx);
    Verdict verdict;
    int round = 0;
    for (bool mapping : {false, true}) {
        // Over the time a create takes here (half a millisecond or so), in small steps.
        for (int delayUs = 0; delayUs <= 600; delayUs += mapping ? 30 : 60) {
            const HostId host = s.host(320, 180);
            if (mapping)
                setMapped(s.x, host, false);
            olm_vout_t* vout = nullptr;
            {
                XConnection other;
                std::jthread change([&] {
                    std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
                    if (mapping)
                        setMapped(other, host, true);
                    else
                        resizeWindow(other, host, 200, 260);
                });
                vout = s.requireOutput(host);
            }
            if (mapping && !waitViewable(s.x, host, ctx.scaled(2000)))
                stopCheck(Result::Unresolved, "the host did not become viewable");
            const QRgb colour = round++ % 2 ? kSky : kAmber;
            s.requirePut(vout, flatPicture(kPictureWidth, kPictureHeight, colour));
            const int width = mapping ? 320 : 200, height = mapping ? 180 : 260;
            const RectF want =
                expectedPlacement(VOUT_NORMAL, kPictureWidth, kPictureHeight, 0, 0, width, height);
            const std::string label =
                std::string(mapping ? "window mapped " : "window resized to 200x260 ") +
                std::to_string(delayUs) + " us into olm_vout_create";
            s.judgeAndRecord(verdict, s.waitForPlacement(host, want, colour).image, want, colour,
                             label);
            ctx.destroy(&vout);
            setMapped(s.x, host, false);
            if (verdict.failed())
                return verdict;
        }
    }
    return verdict;
}

// Only the host's own changes move the picture: the host's parent resized, and a window beside
// the host resized and unmapped, leave the picture where it is, and new pictures keep coming.
Verdict otherWindowsIgnored(CheckContext& ctx) {
    Scene s(ctx);
    Verdict verdict;
    const HostId parent = s.host(400, 300);
    const HostId host = createChildWindow(s.x, parent, 20, 20, 320, 180);
    const xcb_window_t beside = createChildWindow(s.x, parent, 20, 220, 200, 60);
    if (!host || !beside)
        stopCheck(Result::Unresolved, "windows inside the host's parent could not be made");
    olm_vout_t* vout = s.requireOutput(host);
    const RectF want = expectedPlacement(VOUT_NORMAL, kPictureWidth, kPictureHeight, 0, 0, 320, 180);
    s.requirePut(vout, flatPicture(kPictureWidth, kPictureHeight, kAmber));
    s.judgeAndRecord(verdict, s.waitForPlacement(host, want, kAmber).image, want, kAmber,
                     "before: VOUT_NORMAL");
    if (verdict.failed())
        return verdict;
    resizeWindow(s.x, parent, 560, 420);
    resizeWindow(s.x, beside, 300, 90);
    setMapped(s.x, beside, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(ctx.scaled(150)));
    s.judgeAndRecord(verdict, s.capture(host), want, kAmber,
                     "after the host's parent was resized and a window beside it resized and "
                     "unmapped");
    s.mark(host);
    s.requirePut(vout, flatPicture(kPictureWidth, kPictureHeight, kSky));
    s.judgeAndRecord(verdict, s.waitForPlacement(host, want, kSky).image, want, kSky,
                     "a new picture after the other windows changed");
    return verdict;
}

} // namespace

void addCoreRedrawChecks(std::vector<Check>& checks) {
    checks.insert(checks.end(),
                  {
                      {.name = "core.redraw.expose",
                       .promise = "the last picture comes back, with no new put, when the window "
                                  "is exposed (uncovered whole or in part, or unmapped and "
                                  "mapped)",
                       .run = redrawnOnExpose,
                       .readsScreen = true,
                       .deadlineMs = 20000},
                      {.name = "core.redraw.resize",
                       .promise = "after the window is resized (grown, shrunk, either way) the "
                                  "last picture is shown in the new placement, with no new put",
                       .run = redrawnOnResize,
                       .readsScreen = true,
                       .deadlineMs = 20000},
                      {.name = "core.redraw.mode_change",
                       .promise = "set redraws the last picture in the new mode's placement at "
                                  "once, with no new put",
                       .run = redrawnOnModeChange,
                       .readsScreen = true,
                       .deadlineMs = 20000},
                      {.name = "core.redraw.resize_covered",
                       .promise = "a window resized while fully covered shows the last picture "
                                  "in the new placement once uncovered",
                       .run = resizedWhileCovered,
                       .x11Only = "covers the host with another X window",
                       .readsScreen = true},
                      {.name = "core.redraw.changed_during_create",
                       .promise = "a window resized, or mapped, by another client while "
                                  "olm_vout_create runs shows the first picture as the window "
                                  "is then",
                       .run = changedDuringCreate,
                       .x11Only = "changes the host from another X client while the output is made",
                       .readsScreen = true,
                       .deadlineMs = 20000},
                      {.name = "core.redraw.other_windows",
                       .promise = "only the host's own changes move the picture: its parent "
                                  "resized, or a window beside it resized or unmapped, leave it "
                                  "as it is, and new pictures keep coming",
                       .run = otherWindowsIgnored,
                       .x11Only = "resizes the X window that holds the host",
                       .readsScreen = true},
                      {.name = "core.redraw.resize_on_create",
                       .promise = "a window resized right after the output was created shows "
                                  "the first picture in the placement for its new size",
                       .run = resizedAsCreated,
                       .readsScreen = true},
                  });
}
