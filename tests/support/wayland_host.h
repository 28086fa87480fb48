#pragma once

// A host surface for olm_vout on Wayland, as a toolkit would make one: a client of its own on the
// compositor named by $WAYLAND_DISPLAY with a fullscreen toplevel (so it lies at 0,0 of the
// output) filled with one colour. A thread of its own reads and dispatches the client's default
// queue, as a toolkit's event loop does, beside the output's own reading.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

struct wl_buffer;
struct wl_compositor;
struct wl_display;
struct wl_registry;
struct wl_shm;
struct wl_surface;
struct xdg_surface;
struct xdg_toplevel;
struct xdg_wm_base;

class WaylandHost {
public:
    // Connects and shows the surface filled with rgb (0xRRGGBB); ready() tells whether it did.
    explicit WaylandHost(uint32_t rgb = 0x808080);
    ~WaylandHost();
    WaylandHost(const WaylandHost&) = delete;
    WaylandHost& operator=(const WaylandHost&) = delete;

    bool ready() const { return surface_ != nullptr && width_ > 0; }
    wl_display* display() const { return display_; }
    wl_surface* surface() const { return surface_; }
    int width() const { return width_; }
    int height() const { return height_; }
    // Commits the host surface, as a toolkit does when it draws: a subsurface's new position (and
    // a new subsurface) shows only then.
    void commit();
    // Takes the surface's buffer away (the toplevel is unmapped, as a minimised window's
    // content is not shown) or gives it back.
    void setMapped(bool mapped);

    // For the listeners.
    void configured(int width, int height);
    void acknowledge(uint32_t serial);
    void bind(const char* interface, uint32_t name, uint32_t version);

private:
    void readEvents();
    bool attachBuffer();

    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr; // while the globals are bound
    wl_compositor* compositor_ = nullptr;
    wl_shm* shm_ = nullptr;
    xdg_wm_base* wmBase_ = nullptr;
    wl_surface* surface_ = nullptr;
    xdg_surface* xdgSurface_ = nullptr;
    xdg_toplevel* toplevel_ = nullptr;
    wl_buffer* buffer_ = nullptr;
    uint32_t rgb_;
    int width_ = 0, height_ = 0;
    int configuredWidth_ = 0, configuredHeight_ = 0;
    std::atomic<uint32_t> pendingSerial_{0}; // of the last configure, until acknowledged
    int stopFd_ = -1;
    std::thread reader_;
    std::mutex mutex_; // the surface's requests, from the test and the reader thread
};
