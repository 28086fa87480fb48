#include "wayland_surfaces.h"

#include "wayland_buffers.h"
#include "wayland_display.h"

#include "viewporter-client-protocol.h"

#include <climits>

namespace olm::wayland {

Surfaces::~Surfaces() {
    if (pictureViewport_)
        wp_viewport_destroy(pictureViewport_);
    if (pictureRole_)
        wl_subsurface_destroy(pictureRole_);
    if (picture_)
        wl_surface_destroy(picture_);
    if (areaViewport_)
        wp_viewport_destroy(areaViewport_);
    if (areaRole_)
        wl_subsurface_destroy(areaRole_);
    if (area_)
        wl_surface_destroy(area_);
}

bool Surfaces::open(Display& display, Buffers& buffers, wl_surface* host, const Rect& area) {
    buffers_ = &buffers;
    area_ = wl_compositor_create_surface(display.compositor());
    picture_ = wl_compositor_create_surface(display.compositor());
    if (!area_ || !picture_)
        return false;
    areaRole_ = wl_subcompositor_get_subsurface(display.subcompositor(), area_, host);
    pictureRole_ = wl_subcompositor_get_subsurface(display.subcompositor(), picture_, area_);
    areaViewport_ = wp_viewporter_get_viewport(display.viewporter(), area_);
    pictureViewport_ = wp_viewporter_get_viewport(display.viewporter(), picture_);
    if (!areaRole_ || !pictureRole_ || !areaViewport_ || !pictureViewport_)
        return false;
    // Pictures come at their own pace, not the host's: the area commits on its own; the
    // picture's state waits for the area's commit.
    wl_subsurface_set_desync(areaRole_);
    if (wl_region* none = wl_compositor_create_region(display.compositor())) {
        wl_surface_set_input_region(area_, none);
        wl_surface_set_input_region(picture_, none);
        wl_region_destroy(none);
    }
    placeArea(area.x, area.y);
    resizeArea(area.width, area.height);
    return true;
}

void Surfaces::placeArea(int x, int y) {
    wl_subsurface_set_position(areaRole_, x, y);
}

void Surfaces::resizeArea(int width, int height) {
    if (width <= 0 || height <= 0) {
        wl_surface_attach(area_, nullptr, 0, 0); // nothing to cover: unmapped
    } else {
        wl_surface_attach(area_, buffers_->black(), 0, 0);
        wl_surface_damage(area_, 0, 0, INT32_MAX, INT32_MAX);
        wp_viewport_set_destination(areaViewport_, width, height);
    }
    wl_surface_commit(area_);
}

void Surfaces::show(wl_buffer* buffer, const Rect& rect, bool damageInBuffer) {
    wl_surface_attach(picture_, buffer, 0, 0);
    if (damageInBuffer)
        wl_surface_damage_buffer(picture_, 0, 0, INT32_MAX, INT32_MAX);
    else
        wl_surface_damage(picture_, 0, 0, INT32_MAX, INT32_MAX);
    wp_viewport_set_destination(pictureViewport_, rect.width, rect.height);
    wl_subsurface_set_position(pictureRole_, rect.x, rect.y);
    wl_surface_commit(picture_);
    commitArea();
}

void Surfaces::clear() {
    wl_surface_attach(picture_, nullptr, 0, 0);
    wl_surface_commit(picture_);
    commitArea();
}

void Surfaces::commitArea() {
    wl_surface_commit(area_);
}

} // namespace olm::wayland
