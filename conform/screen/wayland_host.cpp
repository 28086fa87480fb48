#include "wayland_host.h"

#include "xdg-shell-client-protocol.h"

#include <wayland-client.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

void registryGlobal(void* data, wl_registry*, uint32_t name, const char* interface,
                    uint32_t version) {
    static_cast<WaylandHost*>(data)->bind(interface, name, version);
}
void registryGlobalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener kRegistryListener = {registryGlobal, registryGlobalRemove};

void wmPing(void*, xdg_wm_base* base, uint32_t serial) {
    xdg_wm_base_pong(base, serial);
}
const xdg_wm_base_listener kWmListener = {wmPing};

void surfaceConfigure(void* data, xdg_surface*, uint32_t serial) {
    static_cast<WaylandHost*>(data)->acknowledge(serial);
}
const xdg_surface_listener kSurfaceListener = {surfaceConfigure};

void toplevelConfigure(void* data, xdg_toplevel*, int32_t width, int32_t height, wl_array*) {
    static_cast<WaylandHost*>(data)->configured(width, height);
}
void toplevelClose(void*, xdg_toplevel*) {}
void toplevelBounds(void*, xdg_toplevel*, int32_t, int32_t) {}
void toplevelCapabilities(void*, xdg_toplevel*, wl_array*) {}
void outputGeometry(void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*,
                    const char*, int32_t) {}
void outputMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height,
                int32_t refresh) {
    static_cast<WaylandHost*>(data)->outputMode(flags, width, height, refresh);
}
void outputDone(void*, wl_output*) {}
void outputScale(void* data, wl_output*, int32_t scale) {
    static_cast<WaylandHost*>(data)->outputScale(scale);
}
void outputName(void*, wl_output*, const char*) {}
void outputDescription(void*, wl_output*, const char*) {}
const wl_output_listener kOutputListener = {outputGeometry, outputMode, outputDone,
                                            outputScale,    outputName, outputDescription};

const xdg_toplevel_listener kToplevelListener = {toplevelConfigure, toplevelClose, toplevelBounds,
                                                 toplevelCapabilities};

} // namespace

void WaylandHost::bind(const char* interface, uint32_t name, uint32_t version) {
    wl_registry* registry = registry_;
    if (std::strcmp(interface, wl_compositor_interface.name) == 0)
        compositor_ = static_cast<wl_compositor*>(
            wl_registry_bind(registry, name, &wl_compositor_interface, 4));
    else if (std::strcmp(interface, wl_shm_interface.name) == 0)
        shm_ = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0)
        wmBase_ = static_cast<xdg_wm_base*>(
            wl_registry_bind(registry, name, &xdg_wm_base_interface, version < 2 ? version : 2));
    else if (std::strcmp(interface, wl_output_interface.name) == 0 && !output_) {
        output_ = static_cast<wl_output*>(
            wl_registry_bind(registry, name, &wl_output_interface, version < 2 ? version : 2));
        wl_output_add_listener(output_, &kOutputListener, this);
    } else if (std::strcmp(interface, "wp_presentation") == 0)
        offersPresentation_ = true;
}

void WaylandHost::outputMode(uint32_t flags, int32_t width, int32_t height,
                             int32_t refreshMilliHz) {
    if (!(flags & WL_OUTPUT_MODE_CURRENT))
        return;
    if (refreshMilliHz > 0)
        refreshPeriodUs_ = uint32_t(1000000000ull / uint64_t(refreshMilliHz));
    modeWidth_ = width;
    modeHeight_ = height;
}

void WaylandHost::configured(int width, int height) {
    // 0 x 0 leaves the size to the client (sway's first configure says so): the output's, in
    // logical pixels, as a fullscreen window has.
    configuredWidth_ = width > 0 ? width : modeWidth_ / outputScale_;
    configuredHeight_ = height > 0 ? height : modeHeight_ / outputScale_;
}

void WaylandHost::acknowledge(uint32_t serial) {
    pendingSerial_ = serial;
}

WaylandHost::WaylandHost(uint32_t rgb, bool fullscreen) : rgb_(rgb), fullscreen_(fullscreen) {
    display_ = wl_display_connect(nullptr);
    if (!display_)
        return;
    registry_ = wl_display_get_registry(display_);
    wl_registry_add_listener(registry_, &kRegistryListener, this);
    wl_display_roundtrip(display_);
    wl_registry_destroy(registry_);
    registry_ = nullptr;
    if (!compositor_ || !shm_ || !wmBase_)
        return;
    xdg_wm_base_add_listener(wmBase_, &kWmListener, this);
    surface_ = wl_compositor_create_surface(compositor_);
    xdgSurface_ = xdg_wm_base_get_xdg_surface(wmBase_, surface_);
    xdg_surface_add_listener(xdgSurface_, &kSurfaceListener, this);
    toplevel_ = xdg_surface_get_toplevel(xdgSurface_);
    xdg_toplevel_add_listener(toplevel_, &kToplevelListener, this);
    xdg_toplevel_set_title(toplevel_, "olm_vout test host");
    if (fullscreen)
        xdg_toplevel_set_fullscreen(toplevel_, nullptr);
    wl_surface_commit(surface_);
    // The first configure says the size; the surface shows once a buffer of it is committed.
    while (pendingSerial_ == 0 && wl_display_dispatch(display_) >= 0) {
    }
    if (pendingSerial_ == 0 || configuredWidth_ <= 0 || configuredHeight_ <= 0 || !attachBuffer()) {
        width_ = 0;
        return;
    }
    wl_display_roundtrip(display_);
    stopFd_ = eventfd(0, EFD_CLOEXEC);
    reader_ = std::thread(&WaylandHost::readEvents, this);
}

bool WaylandHost::attachBuffer() {
    width_ = configuredWidth_;
    height_ = configuredHeight_;
    // In the output's own pixels, so that what is painted shows unscaled, edges sharp.
    scale_ = outputScale_;
    const int stride = width_ * scale_ * 4;
    const size_t size = size_t(stride) * height_ * scale_;
    const int fd = memfd_create("olm_vout-test-host", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, off_t(size)) < 0)
        return false;
    void* pixels = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (pixels == MAP_FAILED) {
        close(fd);
        return false;
    }
    pixels_ = static_cast<uint32_t*>(pixels);
    bytes_ = size;
    for (size_t i = 0; i < size / 4; ++i)
        pixels_[i] = 0xff000000u | rgb_;
    wl_shm_pool* pool = wl_shm_create_pool(shm_, fd, int32_t(size));
    buffer_ = wl_shm_pool_create_buffer(pool, 0, width_ * scale_, height_ * scale_, stride,
                                        WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    xdg_surface_ack_configure(xdgSurface_, pendingSerial_);
    ackedSerial_ = pendingSerial_;
    wl_surface_set_buffer_scale(surface_, scale_);
    wl_surface_attach(surface_, buffer_, 0, 0);
    wl_surface_damage(surface_, 0, 0, width_, height_);
    wl_surface_commit(surface_);
    return true;
}

void WaylandHost::paint(int x, int y, int width, int height, uint32_t rgb) {
    const int left = std::max(x, 0), top = std::max(y, 0);
    const int right = std::min(x + width, width_), bottom = std::min(y + height, height_);
    if (!pixels_ || left >= right || top >= bottom)
        return;
    std::lock_guard lock(mutex_);
    const size_t rowPixels = size_t(width_) * scale_;
    for (int row = top * scale_; row < bottom * scale_; ++row)
        std::fill(pixels_ + row * rowPixels + size_t(left) * scale_,
                  pixels_ + row * rowPixels + size_t(right) * scale_, 0xff000000u | rgb);
    wl_surface_damage(surface_, left, top, right - left, bottom - top);
}

void WaylandHost::commit() {
    std::lock_guard lock(mutex_);
    // A configure since the last (a compositor that sends one once the window is mapped) is
    // acknowledged with the next commit; the size stays, fullscreen on the same output.
    if (const uint32_t serial = pendingSerial_; serial != 0 && serial != ackedSerial_) {
        xdg_surface_ack_configure(xdgSurface_, serial);
        ackedSerial_ = serial;
    }
    wl_surface_commit(surface_);
    wl_display_flush(display_);
}

void WaylandHost::setMapped(bool mapped) {
    if (!mapped) {
        std::lock_guard lock(mutex_);
        wl_surface_attach(surface_, nullptr, 0, 0);
        wl_surface_commit(surface_);
        wl_display_flush(display_);
        return;
    }
    // An unmapped toplevel starts again: a commit without a buffer, the compositor's configure
    // (taken in by the reader thread), then the buffer.
    {
        std::lock_guard lock(mutex_);
        pendingSerial_ = 0;
        if (fullscreen_)
            xdg_toplevel_set_fullscreen(toplevel_, nullptr);
        wl_surface_commit(surface_);
        wl_display_flush(display_);
    }
    for (int i = 0; i < 500 && pendingSerial_ == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::lock_guard lock(mutex_);
    xdg_surface_ack_configure(xdgSurface_, pendingSerial_);
    ackedSerial_ = pendingSerial_;
    wl_surface_attach(surface_, buffer_, 0, 0);
    wl_surface_damage(surface_, 0, 0, width_, height_);
    wl_surface_commit(surface_);
    wl_display_flush(display_);
}

void WaylandHost::readEvents() {
    for (;;) {
        while (wl_display_prepare_read(display_) != 0)
            wl_display_dispatch_pending(display_);
        wl_display_flush(display_);
        pollfd fds[2] = {{wl_display_get_fd(display_), POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) {
            wl_display_cancel_read(display_);
            return;
        }
        if (fds[0].revents & POLLIN) {
            if (wl_display_read_events(display_) < 0)
                return;
        } else {
            wl_display_cancel_read(display_);
        }
        std::lock_guard lock(mutex_);
        wl_display_dispatch_pending(display_);
    }
}

WaylandHost::~WaylandHost() {
    if (reader_.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(stopFd_, &one, sizeof one);
        reader_.join();
    }
    if (stopFd_ >= 0)
        close(stopFd_);
    if (buffer_)
        wl_buffer_destroy(buffer_);
    if (pixels_)
        munmap(pixels_, bytes_);
    if (output_)
        wl_output_destroy(output_);
    if (toplevel_)
        xdg_toplevel_destroy(toplevel_);
    if (xdgSurface_)
        xdg_surface_destroy(xdgSurface_);
    if (surface_)
        wl_surface_destroy(surface_);
    if (wmBase_)
        xdg_wm_base_destroy(wmBase_);
    if (shm_)
        wl_shm_destroy(shm_);
    if (compositor_)
        wl_compositor_destroy(compositor_);
    if (display_)
        wl_display_disconnect(display_);
}
