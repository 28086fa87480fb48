#pragma once

// A host surface for olm_vout on Wayland, as a toolkit would make one: a client of its own on the
// compositor named by $WAYLAND_DISPLAY with a fullscreen toplevel (so it lies at 0,0 of the
// output) filled with one colour. A thread of its own reads and dispatches the client's default
// queue, as a toolkit's event loop does, beside the output's own reading. The tester, the tests
// and the bench all host their outputs in one.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

struct wl_buffer;
struct wl_output;
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
    // Not fullscreen, the window has the size the compositor gives it or else the output's, at a
    // place of the compositor's choosing (KWin 5.27 now and then never answers the frame callbacks
    // of a fullscreen window's subsurfaces; an ordinary window's it does).
    explicit WaylandHost(uint32_t rgb = 0x808080, bool fullscreen = true);
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
    // Fills a rectangle of the surface (surface coordinates, clipped to it) with rgb; shown at
    // the next commit.
    void paint(int x, int y, int width, int height, uint32_t rgb);
    // Whether the compositor offers presentation feedback (wp_presentation).
    bool offersPresentation() const { return offersPresentation_; }
    // The output's refresh period from its current mode (0 when the compositor did not say).
    uint32_t refreshPeriodUs() const { return refreshPeriodUs_; }
    // Takes the surface's buffer away (the toplevel is unmapped, as a minimised window's
    // content is not shown) or gives it back.
    void setMapped(bool mapped);

    // For the listeners.
    void configured(int width, int height);
    void acknowledge(uint32_t serial);
    void bind(const char* interface, uint32_t name, uint32_t version);
    void outputMode(uint32_t flags, int32_t width, int32_t height, int32_t refreshMilliHz);
    void outputScale(int32_t scale) { outputScale_ = scale > 0 ? scale : 1; }

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
    wl_output* output_ = nullptr;
    wl_buffer* buffer_ = nullptr;
    uint32_t* pixels_ = nullptr; // the buffer's memory, mapped while the host lives
    size_t bytes_ = 0;
    bool offersPresentation_ = false;
    uint32_t refreshPeriodUs_ = 0;
    uint32_t rgb_;
    bool fullscreen_;
    int width_ = 0, height_ = 0;
    int configuredWidth_ = 0, configuredHeight_ = 0;
    int modeWidth_ = 0, modeHeight_ = 0, outputScale_ = 1; // the output's, in its pixels
    int scale_ = 1; // the buffer's: the output's scale when it was made
    std::atomic<uint32_t> pendingSerial_{0}; // of the last configure, until acknowledged
    uint32_t ackedSerial_ = 0;
    int stopFd_ = -1;
    std::thread reader_;
    std::mutex mutex_; // the surface's requests, from the test and the reader thread
};
