#pragma once

// The seam between what every output needs (registry, pool, render thread, placement) and the
// code that talks to one window system. A backend is a table of operations; its state is its own
// type, derived from BackendState, that only the backend looks into. All operations but open and
// interrupt run on the output's render thread, or on the destroying thread after the render
// thread has ended.

#include "picture_pool.h"
#include "placement.h"
#include "presentation_timing.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace olm {

// The base of each backend's own state.
struct BackendState {};

// What happened to the window since the last look.
struct WindowEvents {
    bool resized = false;
    bool exposed = false;
    bool gone = false;   // the host window was destroyed: draw nothing more
    bool hidden = false; // now: unmapped or fully covered, so drawing would show nothing
    int width = 0, height = 0;
};

// What the output gives a backend to work with.
struct BackendContext {
    uint32_t window = 0;                     // the host window
    int wakeFd = -1;                         // readable when the output wants the render thread
    const std::atomic<bool>* quit = nullptr; // set when the output is being destroyed
    PresentationTiming* timing = nullptr;    // where pictures that reached the screen are told
};

// What present did with a picture.
enum class PresentResult {
    Drawn,    // on its way: the backend tells timing once it is on screen
    NotDrawn, // nothing was drawn (no room, no memory, conversion failed): a new picture is lost
};

struct BackendOps {
    const char* name;
    // Opens the backend on context.window. Null with *error set when it cannot; then nothing of
    // it is left.
    BackendState* (*open)(const BackendContext& context, std::string* error);
    // Descriptor that becomes readable when the window system has something to say.
    int (*eventFd)(BackendState*);
    // Handles everything pending and reports what changed.
    WindowEvents (*takeEvents)(BackendState*);
    // True when events were taken in while presenting; takeEvents will report them.
    bool (*hasPending)(BackendState*);
    // True when present may be called now; false while an earlier presentation still waits for
    // its refresh or no buffer is free (the backend's descriptor wakes the thread when it may).
    bool (*canPresent)(BackendState*);
    // Draws picture into rect of the window with black around it, as one update where the path
    // allows; null picture: all black. putMicros is the put time of a new picture, or -1 for a
    // redraw of one already shown (not reported again).
    PresentResult (*present)(BackendState*, const Picture* picture, const Rect& rect,
                             int64_t putMicros);
    // From any thread, while the render thread may be blocked on the window system: makes every
    // blocked or later call return at once (the connection is cut). Used when the window system
    // does not answer during destroy.
    void (*interrupt)(BackendState*);
    // Releases everything, the backend's own window included.
    void (*close)(BackendState*);
};

extern const BackendOps x11Backend;

} // namespace olm
