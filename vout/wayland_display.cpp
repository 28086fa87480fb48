#include "wayland_display.h"

#include "backend.h"

#include "presentation-time-client-protocol.h"
#include "viewporter-client-protocol.h"

#include <algorithm>
#include <cstring>

namespace olm::wayland {

namespace {

void global(void* data, wl_registry* registry, uint32_t name, const char* interface,
            uint32_t version) {
    static_cast<Display*>(data)->announce(registry, name, interface, version);
}
void globalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener kRegistryListener = {global, globalRemove};

void clockId(void* data, wp_presentation*, uint32_t clock) {
    static_cast<Display*>(data)->setClock(clock);
}
const wp_presentation_listener kPresentationListener = {clockId};

template <typename T>
T* bindGlobal(wl_registry* registry, uint32_t name, const wl_interface& interface,
              uint32_t version) {
    return static_cast<T*>(wl_registry_bind(registry, name, &interface, version));
}

} // namespace

void Display::announce(wl_registry* registry, uint32_t name, const char* interface,
                       uint32_t version) {
    auto is = [interface](const wl_interface& i) { return std::strcmp(interface, i.name) == 0; };
    if (is(wl_compositor_interface) && !compositor_) {
        compositorVersion_ = std::min(version, 4u); // 4: damage in buffer coordinates
        compositor_ =
            bindGlobal<wl_compositor>(registry, name, wl_compositor_interface, compositorVersion_);
    } else if (is(wl_subcompositor_interface) && !subcompositor_) {
        subcompositor_ =
            bindGlobal<wl_subcompositor>(registry, name, wl_subcompositor_interface, 1);
    } else if (is(wl_shm_interface) && !shm_) {
        shm_ = bindGlobal<wl_shm>(registry, name, wl_shm_interface, 1);
    } else if (is(wp_viewporter_interface) && !viewporter_) {
        viewporter_ = bindGlobal<wp_viewporter>(registry, name, wp_viewporter_interface, 1);
    } else if (is(wp_presentation_interface) && !presentation_ &&
               !envFlag("OLM_VOUT_NO_PRESENTATION")) {
        presentation_ = bindGlobal<wp_presentation>(registry, name, wp_presentation_interface, 1);
        wp_presentation_add_listener(presentation_, &kPresentationListener, this);
    }
}

bool Display::open(wl_display* display, std::string* error) {
    display_ = display;
    queue_ = wl_display_create_queue(display);
    wrapper_ = static_cast<wl_display*>(wl_proxy_create_wrapper(display));
    if (!queue_ || !wrapper_) {
        *error = "cannot make an event queue on the Wayland display";
        return false;
    }
    wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapper_), queue_);
    registry_ = wl_display_get_registry(wrapper_);
    wl_registry_add_listener(registry_, &kRegistryListener, this);
    // The globals, and then the presentation clock that binding brings.
    if (wl_display_roundtrip_queue(display, queue_) < 0 ||
        wl_display_roundtrip_queue(display, queue_) < 0) {
        *error = "the Wayland display does not answer";
        return false;
    }
    const char* missing = !compositor_      ? "wl_compositor"
                          : !subcompositor_ ? "wl_subcompositor"
                          : !shm_           ? "wl_shm"
                          : !viewporter_    ? "wp_viewporter"
                                            : nullptr;
    if (missing) {
        *error = std::string("the Wayland compositor offers no ") + missing;
        return false;
    }
    return true;
}

Display::~Display() {
    if (presentation_)
        wp_presentation_destroy(presentation_);
    if (viewporter_)
        wp_viewporter_destroy(viewporter_);
    if (shm_)
        wl_shm_destroy(shm_);
    if (subcompositor_)
        wl_subcompositor_destroy(subcompositor_);
    if (compositor_)
        wl_compositor_destroy(compositor_);
    if (registry_)
        wl_registry_destroy(registry_);
    if (wrapper_)
        wl_proxy_wrapper_destroy(wrapper_);
    if (display_)
        wl_display_flush(display_);
    if (queue_)
        wl_event_queue_destroy(queue_);
}

void Display::dispatch() {
    wl_display_dispatch_queue_pending(display_, queue_);
}

void Display::flush() {
    wl_display_flush(display_);
}

bool Display::prepareRead() {
    if (wl_display_prepare_read_queue(display_, queue_) != 0) {
        dispatch();
        return false;
    }
    flush();
    return true;
}

void Display::finishRead(bool readable) {
    if (readable)
        wl_display_read_events(display_);
    else
        wl_display_cancel_read(display_);
}

} // namespace olm::wayland
