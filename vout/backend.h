#pragma once

// The seam between what every output needs (registry, pool, render thread, placement) and the
// code that talks to one window system. A backend is a table of operations; its state is
// private to it. All operations but open run on the output's render thread, or on the
// destroying thread after the render thread has ended.

#include "picture_pool.h"
#include "placement.h"

#include <cstdint>
#include <string>

namespace olm {

struct BackendState; // defined by each backend

// What happened to the window since the last look.
struct WindowEvents {
    bool resized = false;
    bool exposed = false;
    bool gone = false; // the host window was destroyed: draw nothing more
    int width = 0, height = 0;
};

struct BackendOps {
    const char* name;
    // Opens the backend on the host window. Null with *error set when it cannot.
    BackendState* (*open)(uint32_t window, std::string* error);
    // Descriptor that becomes readable when the window system has something to say.
    int (*eventFd)(BackendState*);
    // Handles everything pending and reports what changed.
    WindowEvents (*takeEvents)(BackendState*);
    // True when events were taken in while presenting; takeEvents will report them.
    bool (*hasPending)(BackendState*);
    // Draws picture into rect of the window and black around it; null picture: all black.
    void (*present)(BackendState*, const Picture* picture, const Rect& rect);
    // Releases everything, the backend's own window included.
    void (*close)(BackendState*);
};

extern const BackendOps x11Backend;

} // namespace olm
