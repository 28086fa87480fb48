#pragma once

// The seam between what every output needs (registry, pool, render thread, placement) and the
// code that talks to one window system. A backend owns the output's window and its way of getting
// pictures on screen. The render thread drives it: pump what has arrived, present when a buffer
// is free, and sleep on eventFd() until the next deadline. Every member runs on the render
// thread, or on the destroying thread once the render thread has ended; interrupt runs on any.

#include "in_flight.h"
#include "picture_pool.h"
#include "placement.h"
#include "presentation_timing.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

struct wl_display;
struct wl_surface;

namespace olm {

// What happened to the window since the last look.
struct WindowEvents {
    bool resized = false;
    bool exposed = false;
    bool gone = false;   // the host window was destroyed: draw nothing more
    bool hidden = false; // now: unmapped, below an unmapped window or fully covered
    int width = 0, height = 0;
};

// A Wayland host: the caller's connection and surface, and the rectangle of it to cover.
struct WaylandHost {
    wl_display* display = nullptr;
    wl_surface* surface = nullptr;
    Rect area;
};

// Where the picture shown goes in a window of the given size (empty: no picture).
using PlaceInWindow = std::function<Rect(int windowWidth, int windowHeight)>;

// What the output gives a backend to work with.
struct BackendContext {
    uint32_t window = 0;                  // the host window (X11)
    WaylandHost wayland;                  // the host surface (Wayland)
    PresentationTiming* timing = nullptr; // where pictures that reached the screen are told
};

// What present did with a picture.
enum class PresentResult {
    Drawn,    // on its way: the backend tells timing once it is on screen (or lost)
    NotDrawn, // nothing was drawn (no memory, conversion failed): a new picture is lost
};

class Backend {
public:
    virtual ~Backend() = default; // releases everything, the backend's own window included
    // Readable when the window system has something to say.
    virtual int eventFd() const = 0;
    // Takes in everything that has arrived (events, answers, completions), gives up what is
    // overdue, and reports what changed. Never waits.
    virtual WindowEvents pump() = 0;
    // True when a buffer is free for the next picture.
    virtual bool canPresent() const = 0;
    // Draws picture into rect of the window with black around it, as one update where the way
    // allows; null picture: all black. putMicros is the put time of a new picture, or -1 for a
    // redraw of one already shown (not reported again). Never waits for the window system.
    virtual PresentResult present(const Picture* picture, const Rect& rect, int64_t putMicros) = 0;
    // When pump must run again although nothing arrived (an answer overdue); kNoDeadline when
    // nothing waits.
    virtual int64_t nextDeadline() const = 0;
    // True when pictures go out at the display's refresh: then the render thread must start on a
    // picture as soon as it arrives.
    virtual bool presentsAtRefresh() const = 0;
    // From any thread, while the render thread may be blocked in the window system: makes every
    // blocked or later call return at once. Used when the window system does not answer during
    // destroy.
    virtual void interrupt() = 0;
    // Around the render thread's sleep on eventFd(), for window systems whose connection is read
    // by other threads too: prepareWait is false when something arrived meanwhile (taken in
    // already: then the thread looks again instead of sleeping, and finishWait is not called);
    // finishWait says whether eventFd() became readable.
    virtual bool prepareWait() { return true; }
    virtual void finishWait(bool /*readable*/) {}
    // From the caller's thread, under the output's layout lock (so never during a pass of the
    // render thread): the rectangle of the host the output covers moved or changed size (a
    // Wayland host's layout). The backend shows the area's new place and size and the picture
    // shown so far, placed by place(window width, height) in the new window, in one step; the
    // window size pump reports follows it.
    virtual void moveArea(const Rect& /*area*/, const PlaceInWindow& /*place*/) {}
};

// True when the environment variable is set to something other than "" or "0": the switches
// that make a backend take its fall-back ways, for tests and comparisons.
inline bool envFlag(const char* name) {
    const char* value = std::getenv(name);
    return value && *value && std::strcmp(value, "0") != 0;
}

using OpenBackend = std::unique_ptr<Backend> (*)(const BackendContext& context, std::string* error);

// The X11 backend on context.window; null with *error set when it cannot be opened (then nothing
// of it is left).
std::unique_ptr<Backend> openX11Backend(const BackendContext& context, std::string* error);
// The Wayland backend on context.wayland, likewise.
std::unique_ptr<Backend> openWaylandBackend(const BackendContext& context, std::string* error);

} // namespace olm
