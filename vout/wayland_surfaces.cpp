#include "wayland_surfaces.h"

#include "wayland_buffers.h"
#include "wayland_display.h"

#include "fractional-scale-v1-client-protocol.h"
#include "viewporter-client-protocol.h"

#include <algorithm>
#include <climits>

namespace olm::wayland {

namespace {

const wl_surface_listener kAreaListener = {
    [](void* data, wl_surface*, wl_output* output) {
        static_cast<Surfaces*>(data)->entered(output);
    },
    [](void* data, wl_surface*, wl_output* output) { static_cast<Surfaces*>(data)->left(output); },
};

const wp_fractional_scale_v1_listener kFractionalListener = {
    [](void* data, wp_fractional_scale_v1*, uint32_t scale) {
        static_cast<Surfaces*>(data)->preferredScale(scale);
    },
};

const wl_callback_listener kLayoutShownListener = {
    [](void* data, wl_callback* callback, uint32_t) {
        static_cast<Surfaces*>(data)->layoutShown(callback);
    },
};

} // namespace

Surfaces::~Surfaces() {
    if (layoutShown_)
        wl_callback_destroy(layoutShown_);
    if (fractional_)
        wp_fractional_scale_v1_destroy(fractional_);
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

bool Surfaces::open(Queue& queue, Buffers& buffers, wl_surface* host, const Rect& area) {
    queue_ = &queue;
    buffers_ = &buffers;
    const Display& display = queue.display();
    area_ = wl_compositor_create_surface(queue.compositor());
    picture_ = wl_compositor_create_surface(queue.compositor());
    if (!area_ || !picture_)
        return false;
    wl_surface_add_listener(area_, &kAreaListener, this);
    areaRole_ = wl_subcompositor_get_subsurface(display.subcompositor(), area_, host);
    pictureRole_ = wl_subcompositor_get_subsurface(display.subcompositor(), picture_, area_);
    if (!areaRole_ || !pictureRole_)
        return false;
    if (wp_viewporter* viewporter = queue.viewporter()) {
        areaViewport_ = wp_viewporter_get_viewport(viewporter, area_);
        pictureViewport_ = wp_viewporter_get_viewport(viewporter, picture_);
        if (!areaViewport_ || !pictureViewport_)
            return false;
    }
    if (queue.fractionalScale()) {
        fractional_ =
            wp_fractional_scale_manager_v1_get_fractional_scale(queue.fractionalScale(), area_);
        if (!fractional_)
            return false;
        wp_fractional_scale_v1_add_listener(fractional_, &kFractionalListener, this);
    }
    // Pictures come at their own pace, not the host's: the area commits on its own; the
    // picture's state waits for the area's commit.
    wl_subsurface_set_desync(areaRole_);
    if (wl_region* none = wl_compositor_create_region(queue.compositor())) {
        wl_surface_set_input_region(area_, none);
        wl_surface_set_input_region(picture_, none);
        wl_region_destroy(none);
    }
    scaleChanged();
    wl_subsurface_set_position(areaRole_, area.x, area.y);
    resizeArea(area.width, area.height);
    commitArea();
    return true;
}

void Surfaces::setLayout(const Rect& area, const Rect* picture) {
    // Synchronised, the area's state and the picture's wait for the host's commit, which also
    // brings the new position.
    wl_subsurface_set_sync(areaRole_);
    wl_subsurface_set_position(areaRole_, area.x, area.y);
    if (picture && !picture->empty()) {
        // The picture shown so far, in its new place: a new one at the new size follows.
        if (pictureViewport_)
            wp_viewport_set_destination(pictureViewport_, picture->width, picture->height);
        wl_subsurface_set_position(pictureRole_, picture->x, picture->y);
        wl_surface_commit(picture_);
    }
    resizeArea(area.width, area.height);
    if (layoutShown_) {
        wl_callback_destroy(layoutShown_);
        layoutShown_ = nullptr;
    }
    // An unmapped area gets no frame: it stays synchronised until it shows again.
    if (!area.empty()) {
        layoutShown_ = wl_surface_frame(area_);
        wl_callback_add_listener(layoutShown_, &kLayoutShownListener, this);
    }
    commitArea();
}

void Surfaces::layoutShown(wl_callback* callback) {
    wl_callback_destroy(callback);
    if (callback != layoutShown_)
        return;
    layoutShown_ = nullptr;
    // The host has committed the layout: pictures are the area's own again.
    wl_subsurface_set_desync(areaRole_);
}

int Surfaces::bufferScale() const {
    const int scale = scale120();
    return scale % 120 == 0 && queue_->display().compositorVersion() >= 3 ? scale / 120 : 1;
}

void Surfaces::resizeArea(int width, int height) {
    if (width <= 0 || height <= 0) {
        wl_surface_attach(area_, nullptr, 0, 0); // nothing to cover: unmapped
        return;
    }
    if (areaViewport_) {
        wl_surface_attach(area_, buffers_->black(1, 1), 0, 0);
        wp_viewport_set_destination(areaViewport_, width, height);
    } else {
        const int scale = bufferScale();
        wl_surface_attach(area_, buffers_->black(width * scale, height * scale), 0, 0);
        if (queue_->display().compositorVersion() >= 3)
            wl_surface_set_buffer_scale(area_, scale);
    }
    wl_surface_damage(area_, 0, 0, INT32_MAX, INT32_MAX);
}

void Surfaces::show(wl_buffer* buffer, const Rect& rect, int bufferScale, bool damageInBuffer) {
    wl_surface_attach(picture_, buffer, 0, 0);
    if (damageInBuffer)
        wl_surface_damage_buffer(picture_, 0, 0, INT32_MAX, INT32_MAX);
    else
        wl_surface_damage(picture_, 0, 0, INT32_MAX, INT32_MAX);
    if (pictureViewport_)
        wp_viewport_set_destination(pictureViewport_, rect.width, rect.height);
    else if (queue_->display().compositorVersion() >= 3)
        wl_surface_set_buffer_scale(picture_, bufferScale);
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

void Surfaces::entered(wl_output* output) {
    if (std::find(outputs_.begin(), outputs_.end(), output) == outputs_.end())
        outputs_.push_back(output);
}

void Surfaces::left(wl_output* output) {
    outputs_.erase(std::remove(outputs_.begin(), outputs_.end(), output), outputs_.end());
}

void Surfaces::preferredScale(uint32_t scale120) {
    preferred120_ = scale120;
}

int Surfaces::scale120() const {
    if (preferred120_ > 0)
        return int(preferred120_);
    // The outputs the area is on; before it is on any (not shown yet), the largest there is.
    int largest = 0;
    for (const wl_output* output : outputs_)
        largest = std::max(largest, queue_->display().outputScale(output));
    if (largest == 0)
        largest = queue_->display().largestScale();
    return 120 * largest;
}

bool Surfaces::scaleChanged() {
    const int now = scale120();
    if (now == lastScale120_)
        return false;
    lastScale120_ = now;
    return true;
}

} // namespace olm::wayland
