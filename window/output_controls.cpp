#include "output_controls.h"

#include "shared_state.h"
#include "vout_extensions.h"

namespace {

// The Wayland output this module made and the rectangle it covers now (GUI thread only). The
// handle is compared with g_vout, so an output destroyed behind the window's back counts as gone.
olm_vout_t* waylandOutput = nullptr;
QRect waylandRect;

// The part of rect that a Wayland output can cover (its record holds 16-bit surface
// coordinates); 0x0 at the origin when nothing is left.
QRect coverableRect(const QRect& rect) {
    const QRect covered = rect.intersected(QRect(0, 0, INT16_MAX, INT16_MAX));
    return covered.isEmpty() ? QRect(0, 0, 0, 0) : covered;
}

bool create(const olm_vout_params& params) {
    olm_vout_t* vout = olm_vout_create(&params);
    setCurrentVout(vout);
    return vout != nullptr;
}

} // namespace

bool createOutputOn(uint32_t nativeWindow) {
    if (currentVout())
        return true;
    olm_vout_params params{};
    params.window = nativeWindow;
    params.pool_depth = 3;
    waylandOutput = nullptr;
    return create(params);
}

bool createOutputOnSurface(wl_display* display, wl_surface* surface, const QRect& rect) {
    if (currentVout())
        return true;
    // A library without the call that moves the rectangle cannot follow the window's layout,
    // and a library that knows only X11 would refuse the record anyway.
    if (!voutExtensions().setVideoRect || !display || !surface)
        return false;
    const QRect covered = coverableRect(rect);
    olm_vout_params params{};
    params.pool_depth = 3;
    params.wayland.platform = OLM_VOUT_PLATFORM_WAYLAND;
    params.wayland.display = display;
    params.wayland.surface = surface;
    params.wayland.x = int16_t(covered.x());
    params.wayland.y = int16_t(covered.y());
    params.wayland.width = uint16_t(covered.width());
    params.wayland.height = uint16_t(covered.height());
    if (!create(params))
        return false;
    waylandOutput = currentVout();
    waylandRect = covered;
    return true;
}

void destroyOutput() {
    if (currentVout())
        olm_vout_destroy(&g_vout);
    waylandOutput = nullptr;
}

bool outputIsOnWayland() {
    return waylandOutput && waylandOutput == currentVout();
}

bool moveOutputTo(const QRect& rect) {
    const QRect covered = coverableRect(rect);
    if (!outputIsOnWayland() || covered == waylandRect)
        return false;
    if (voutExtensions().setVideoRect(waylandOutput, covered.x(), covered.y(), covered.width(),
                                      covered.height()) != OLM_VOUT_OK)
        return false;
    waylandRect = covered;
    return true;
}

int32_t nextDisplayMode(int32_t current) {
    switch (current) {
    case VOUT_NORMAL:
        return VOUT_PREFERRED;
    case VOUT_4_3:
        return VOUT_NORMAL;
    case VOUT_16_9:
        return VOUT_4_3;
    default:
        return VOUT_16_9;
    }
}

QString displayModeName(int32_t mode) {
    switch (mode) {
    case VOUT_NORMAL:
        return QStringLiteral("VOUT_NORMAL");
    case VOUT_4_3:
        return QStringLiteral("VOUT_4_3");
    case VOUT_16_9:
        return QStringLiteral("VOUT_16_9");
    default:
        return QStringLiteral("VOUT_PREFERRED");
    }
}

QString stepDisplayMode() {
    olm_vout_t* vout = currentVout();
    if (!vout)
        return {};
    int32_t mode = 0;
    if (olm_vout_get_display_mode(vout, &mode) == OLM_VOUT_E_HANDLE)
        return {};
    const int32_t next = nextDisplayMode(mode);
    olm_vout_set_display_mode(vout, next);
    return displayModeName(next);
}
