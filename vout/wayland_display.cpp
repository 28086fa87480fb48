#include "wayland_display.h"

#include "backend.h"

#include "fractional-scale-v1-client-protocol.h"
#include "presentation-time-client-protocol.h"
#include "viewporter-client-protocol.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

namespace olm::wayland {

namespace {

void global(void* data, wl_registry* registry, uint32_t name, const char* interface,
            uint32_t version) {
    static_cast<Display*>(data)->announce(registry, name, interface, version);
}
void globalRemove(void* data, wl_registry*, uint32_t name) {
    static_cast<Display*>(data)->removed(name);
}
const wl_registry_listener kRegistryListener = {global, globalRemove};

void clockId(void* data, wp_presentation*, uint32_t clock) {
    static_cast<Display*>(data)->setClock(clock);
}
const wp_presentation_listener kPresentationListener = {clockId};

const wl_output_listener kOutputListener = {
    [](void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*, const char*,
       int32_t) {},
    [](void*, wl_output*, uint32_t, int32_t, int32_t, int32_t) {},
    [](void* data, wl_output* output) { static_cast<Display*>(data)->scaleOf(output, 0, true); },
    [](void* data, wl_output* output, int32_t scale) {
        static_cast<Display*>(data)->scaleOf(output, scale, false);
    },
    [](void*, wl_output*, const char*) {},
    [](void*, wl_output*, const char*) {},
};

template <typename T>
T* bindGlobal(wl_registry* registry, uint32_t name, const wl_interface& interface,
              uint32_t version) {
    return static_cast<T*>(wl_registry_bind(registry, name, &interface, version));
}

template <typename T> T* wrapOnto(T* proxy, wl_event_queue* queue) {
    if (!proxy)
        return nullptr;
    auto* wrapper = static_cast<T*>(wl_proxy_create_wrapper(proxy));
    if (wrapper)
        wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapper), queue);
    return wrapper;
}
template <typename T> void unwrap(T* wrapper) {
    if (wrapper)
        wl_proxy_wrapper_destroy(wrapper);
}

// The connections outputs were made on, with their shared part. A connection is known by its
// wl_display and its socket: a caller that disconnected and connected again may get the same
// address, but never the same socket while the new one is open. The shared part of a connection
// that went is abandoned, untouched (its proxies went with the connection's memory), and the
// registry is never destroyed, so nothing runs on such parts as the process exits.
struct Connections {
    struct Entry {
        wl_display* display;
        dev_t device;
        ino_t inode;
        std::shared_ptr<Display> shared;
    };
    std::mutex mutex;
    std::vector<Entry> live;
    std::vector<std::shared_ptr<Display>> abandoned;
};
Connections& connections() {
    static Connections* all = new Connections;
    return *all;
}

} // namespace

std::shared_ptr<Display> Display::of(wl_display* connection, std::string* error) {
    struct stat socket {};
    if (fstat(wl_display_get_fd(connection), &socket) != 0) {
        *error = "cannot look at the Wayland display's socket";
        return nullptr;
    }
    Connections& all = connections();
    std::lock_guard lock(all.mutex);
    for (auto it = all.live.begin(); it != all.live.end(); ++it) {
        if (it->display != connection)
            continue;
        if (it->device == socket.st_dev && it->inode == socket.st_ino)
            return it->shared;
        all.abandoned.push_back(std::move(it->shared));
        all.live.erase(it);
        break;
    }
    std::shared_ptr<Display> shared(new Display);
    if (!shared->open(connection, error))
        return nullptr;
    all.live.push_back({connection, socket.st_dev, socket.st_ino, shared});
    return shared;
}

void Display::announce(wl_registry* registry, uint32_t name, const char* interface,
                       uint32_t version) {
    auto is = [interface](const wl_interface& i) { return std::strcmp(interface, i.name) == 0; };
    if (is(wl_compositor_interface) && !compositor_) {
        compositorVersion_ = std::min(version, 4u); // 3: buffer scale; 4: damage in buffer pixels
        compositor_ =
            bindGlobal<wl_compositor>(registry, name, wl_compositor_interface, compositorVersion_);
    } else if (is(wl_subcompositor_interface) && !subcompositor_) {
        subcompositor_ =
            bindGlobal<wl_subcompositor>(registry, name, wl_subcompositor_interface, 1);
    } else if (is(wl_shm_interface) && !shm_) {
        shm_ = bindGlobal<wl_shm>(registry, name, wl_shm_interface, 1);
    } else if (is(wp_viewporter_interface) && !viewporter_) {
        viewporter_ = bindGlobal<wp_viewporter>(registry, name, wp_viewporter_interface, 1);
    } else if (is(wp_presentation_interface) && !presentation_) {
        presentation_ = bindGlobal<wp_presentation>(registry, name, wp_presentation_interface, 1);
        wp_presentation_add_listener(presentation_, &kPresentationListener, this);
    } else if (is(wp_fractional_scale_manager_v1_interface) && !fractionalScale_) {
        fractionalScale_ = bindGlobal<wp_fractional_scale_manager_v1>(
            registry, name, wp_fractional_scale_manager_v1_interface, 1);
    } else if (is(wl_output_interface) && version >= 2) {
        // 2: scale and done; 3: release, so that an output unplugged leaves nothing.
        Output output;
        output.version = std::min(version, 3u);
        output.proxy = bindGlobal<wl_output>(registry, name, wl_output_interface, output.version);
        output.name = name;
        wl_output_add_listener(output.proxy, &kOutputListener, this);
        outputs_.push_back(output);
    }
}

void Display::removed(uint32_t name) {
    auto gone = std::find_if(outputs_.begin(), outputs_.end(),
                             [name](const Output& o) { return o.name == name; });
    if (gone == outputs_.end())
        return;
    if (gone->version >= 3)
        wl_output_release(gone->proxy);
    else
        wl_output_destroy(gone->proxy);
    outputs_.erase(gone);
}

void Display::scaleOf(wl_output* proxy, int32_t scale, bool done) {
    for (Output& o : outputs_) {
        if (o.proxy != proxy)
            continue;
        if (!done)
            o.pendingScale = std::max(1, scale);
        if (done || o.version < 2)
            o.scale = o.pendingScale;
    }
}

int Display::outputScale(const wl_output* output) const {
    std::lock_guard lock(mutex_);
    for (const Output& o : outputs_)
        if (o.proxy == output)
            return o.scale;
    return 0;
}

int Display::largestScale() const {
    std::lock_guard lock(mutex_);
    int largest = 1;
    for (const Output& o : outputs_)
        largest = std::max(largest, o.scale);
    return largest;
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
    // The globals, and then what binding them brings (the presentation clock, output scales).
    if (wl_display_roundtrip_queue(display, queue_) < 0 ||
        wl_display_roundtrip_queue(display, queue_) < 0) {
        *error = "the Wayland display does not answer";
        return false;
    }
    const char* missing = !compositor_      ? "wl_compositor"
                          : !subcompositor_ ? "wl_subcompositor"
                          : !shm_           ? "wl_shm"
                                            : nullptr;
    if (missing) {
        *error = std::string("the Wayland compositor offers no ") + missing;
        return false;
    }
    return true;
}

Display::~Display() {
    for (const Output& o : outputs_) {
        if (o.version >= 3)
            wl_output_release(o.proxy);
        else
            wl_output_destroy(o.proxy);
    }
    if (fractionalScale_)
        wp_fractional_scale_manager_v1_destroy(fractionalScale_);
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
    std::lock_guard lock(mutex_);
    wl_display_dispatch_queue_pending(display_, queue_);
}

bool Queue::open(wl_display* connection, std::string* error) {
    display_ = Display::of(connection, error);
    if (!display_)
        return false;
    queue_ = wl_display_create_queue(connection);
    if (!queue_) {
        *error = "cannot make an event queue on the Wayland display";
        return false;
    }
    // The switches are the output's: outputs of one connection may differ.
    if (!envFlag("OLM_VOUT_NO_VIEWPORTER"))
        viewporter_ = display_->viewporter();
    wp_presentation* presentation =
        envFlag("OLM_VOUT_NO_PRESENTATION") ? nullptr : display_->presentation();
    compositor_ = wrapOnto(display_->compositor(), queue_);
    shm_ = wrapOnto(display_->shm(), queue_);
    presentation_ = wrapOnto(presentation, queue_);
    fractionalScale_ = wrapOnto(display_->fractionalScale(), queue_);
    if (!compositor_ || !shm_ || (presentation && !presentation_) ||
        (display_->fractionalScale() && !fractionalScale_)) {
        *error = "out of memory";
        return false;
    }
    return true;
}

Queue::~Queue() {
    unwrap(fractionalScale_);
    unwrap(presentation_);
    unwrap(shm_);
    unwrap(compositor_);
    if (display_)
        wl_display_flush(display_->connection());
    if (queue_)
        wl_event_queue_destroy(queue_);
}

void Queue::dispatch() {
    wl_display_dispatch_queue_pending(display_->connection(), queue_);
    display_->dispatch();
}

void Queue::flush() {
    wl_display_flush(display_->connection());
}

bool Queue::prepareRead() {
    if (wl_display_prepare_read_queue(display_->connection(), queue_) != 0) {
        dispatch();
        return false;
    }
    flush();
    return true;
}

void Queue::finishRead(bool readable) {
    if (readable)
        wl_display_read_events(display_->connection());
    else
        wl_display_cancel_read(display_->connection());
}

} // namespace olm::wayland
