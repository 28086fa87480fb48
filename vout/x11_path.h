#pragma once

// One way of getting pictures from the render thread onto an X11 window: straight into the
// window (x11_image_path.h) or presented at the display's refresh (x11_present_path.h). The
// backend (x11_backend.h) owns the window and one path, feeds the path every event and reply
// that arrives, and asks it when it can draw and when it must be looked at again.

#include "backend.h"
#include "in_flight.h"
#include "picture_scaler.h"
#include "x11_window.h"

namespace olm::x11 {

class Path {
public:
    virtual ~Path() = default;
    // Takes in an event or error about the path's own requests; false when it is not one.
    virtual bool dispatch(const xcb_generic_event_t* event) = 0;
    // Collects answers to the path's round trips that have arrived, without waiting; true when
    // it took any.
    virtual bool takeReplies() { return false; }
    // Gives up pictures whose answer is overdue (counted as lost) and buffers held too long.
    virtual void expire(int64_t nowUs) = 0;
    // When expire has something to do next; kNoDeadline when nothing waits.
    virtual int64_t nextDeadline() const = 0;
    // True when a buffer is free for the next picture.
    virtual bool canPresent() const = 0;
    // Draws picture into rect with black around it (all black without a picture). putMicros is
    // the put time of a new picture, -1 for a redraw. Never waits for the server.
    virtual PresentResult present(PictureScaler& scaler, const Picture* picture, const Rect& rect,
                                  int64_t putMicros) = 0;
    // Whether pictures wait for the display's refresh.
    virtual bool presentsAtRefresh() const = 0;
    // Releases the path's server resources; the window is still open.
    virtual void close() = 0;
};

} // namespace olm::x11
