#pragma once

// The Wayland backend's share of the caller's connection: an event queue of the output's own,
// so that its events are dispatched on its render thread and never on the caller's, the globals
// it needs bound on that queue, and the reading of the connection beside the caller's threads
// (every reader prepares, then one reads for all). The caller's own queue and objects are left
// alone.

#include <wayland-client.h>

#include <cstdint>
#include <ctime>
#include <string>

struct wp_presentation;
struct wp_viewporter;
struct wl_subcompositor;

namespace olm::wayland {

class Display {
public:
    Display() = default;
    Display(const Display&) = delete;
    Display& operator=(const Display&) = delete;
    // Destroys the globals, the wrapper and the queue (every object of the output on the queue
    // must be gone), and flushes: no round trip.
    ~Display();

    // Binds the globals on a queue of its own (one round trip, on the calling thread). False with
    // *error set when the compositor lacks one the output needs.
    bool open(wl_display* display, std::string* error);

    wl_display* connection() const { return display_; }
    wl_event_queue* queue() const { return queue_; }
    wl_compositor* compositor() const { return compositor_; }
    uint32_t compositorVersion() const { return compositorVersion_; }
    wl_subcompositor* subcompositor() const { return subcompositor_; }
    wl_shm* shm() const { return shm_; }
    wp_viewporter* viewporter() const { return viewporter_; }
    // Null when the compositor gives no presentation feedback.
    wp_presentation* presentation() const { return presentation_; }
    // The clock of the feedback's timestamps (CLOCK_MONOTONIC unless the compositor says).
    clockid_t presentationClock() const { return clock_; }

    // The connection's descriptor, readable when there is something to read.
    int fd() const { return wl_display_get_fd(display_); }
    // Dispatches what has arrived for the output's queue; never waits.
    void dispatch();
    // Sends what was asked. Never waits: a full socket keeps the rest for the next flush.
    void flush();
    // Before sleeping on fd(): false when events were waiting (dispatched now) instead.
    bool prepareRead();
    // After the sleep: reads when fd() became readable, else lets go of the prepared read.
    void finishRead(bool readable);
    // The connection failed (the compositor went, or a protocol error).
    bool failed() const { return wl_display_get_error(display_) != 0; }

    // For the registry listener.
    void announce(wl_registry* registry, uint32_t name, const char* interface, uint32_t version);
    void setClock(uint32_t clock) { clock_ = clockid_t(clock); }

private:
    wl_display* display_ = nullptr;
    wl_display* wrapper_ = nullptr; // the display, its new objects on queue_
    wl_event_queue* queue_ = nullptr;
    wl_registry* registry_ = nullptr;
    wl_compositor* compositor_ = nullptr;
    uint32_t compositorVersion_ = 0;
    wl_subcompositor* subcompositor_ = nullptr;
    wl_shm* shm_ = nullptr;
    wp_viewporter* viewporter_ = nullptr;
    wp_presentation* presentation_ = nullptr;
    clockid_t clock_ = CLOCK_MONOTONIC;
};

} // namespace olm::wayland
