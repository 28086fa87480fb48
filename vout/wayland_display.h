#pragma once

// The Wayland backend's share of the caller's connection, in two parts:
// - Display, one per wl_display, shared by every output on it: the registry, the globals and the
//   outputs (wl_output) with their scales, on an event queue of its own. Made with the first
//   output and kept for the connection's life, so that outputs coming and going leave nothing
//   behind on the compositor (wl_registry, wl_compositor and wl_shm have no request to let go).
// - Queue, one per output: an event queue of the output's own, dispatched on its render thread
//   and never on the caller's, with the globals wrapped onto it so that the output's objects
//   answer there; and the reading of the connection beside the caller's threads (every reader
//   prepares, then one reads for all).
// The caller's own queue and objects are left alone.

#include <wayland-client.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct wp_presentation;
struct wp_viewporter;
struct wp_fractional_scale_manager_v1;
struct wl_subcompositor;

namespace olm::wayland {

class Display {
public:
    // The shared part of connection, made (one round trip on the calling thread) or found. Null
    // with *error set when the compositor does not answer or lacks a global the output needs.
    static std::shared_ptr<Display> of(wl_display* connection, std::string* error);

    Display(const Display&) = delete;
    Display& operator=(const Display&) = delete;
    ~Display();

    wl_display* connection() const { return display_; }
    wl_compositor* compositor() const { return compositor_; }
    uint32_t compositorVersion() const { return compositorVersion_; }
    wl_subcompositor* subcompositor() const { return subcompositor_; }
    wl_shm* shm() const { return shm_; }
    wp_viewporter* viewporter() const { return viewporter_; }
    wp_presentation* presentation() const { return presentation_; }
    wp_fractional_scale_manager_v1* fractionalScale() const { return fractionalScale_; }
    // The clock of the feedback's timestamps (CLOCK_MONOTONIC unless the compositor says).
    clockid_t presentationClock() const { return clock_; }

    // Takes in what has arrived for the shared queue (outputs added, removed, rescaled). From any
    // output's render thread; never waits.
    void dispatch();
    // The scale of output (0 when it is none of the connection's outputs this library bound), and
    // the largest of all.
    int outputScale(const wl_output* output) const;
    int largestScale() const;

    // For the listeners, on the thread that dispatches.
    void announce(wl_registry* registry, uint32_t name, const char* interface, uint32_t version);
    void removed(uint32_t name);
    void setClock(uint32_t clock) { clock_ = clockid_t(clock); }
    void scaleOf(wl_output* output, int32_t scale, bool done);

private:
    struct Output {
        wl_output* proxy = nullptr;
        uint32_t name = 0, version = 0;
        int scale = 1, pendingScale = 1;
    };
    Display() = default;
    bool open(wl_display* display, std::string* error);

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
    wp_fractional_scale_manager_v1* fractionalScale_ = nullptr;
    clockid_t clock_ = CLOCK_MONOTONIC;
    mutable std::mutex mutex_; // the queue's dispatching and outputs_, from any render thread
    std::vector<Output> outputs_;
};

// One output's queue on the shared connection.
class Queue {
public:
    Queue() = default;
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;
    // Destroys the wrappers and the queue (every object of the output on it must be gone), and
    // flushes: no round trip.
    ~Queue();

    // On the shared display: false with *error set when it cannot be had.
    bool open(wl_display* connection, std::string* error);

    Display& display() const { return *display_; }
    wl_event_queue* queue() const { return queue_; }
    // The globals whose new objects answer on this queue. Null where the compositor lacks them
    // or the environment switches them off for this output (OLM_VOUT_NO_VIEWPORTER: scaled on
    // the CPU; OLM_VOUT_NO_PRESENTATION: frame callbacks stand in for presentation feedback).
    wl_compositor* compositor() const { return compositor_; }
    wl_shm* shm() const { return shm_; }
    wp_viewporter* viewporter() const { return viewporter_; }
    wp_presentation* presentation() const { return presentation_; }
    wp_fractional_scale_manager_v1* fractionalScale() const { return fractionalScale_; }

    // The connection's descriptor, readable when there is something to read.
    int fd() const { return wl_display_get_fd(display_->connection()); }
    // Dispatches what has arrived for this queue and the shared one; never waits.
    void dispatch();
    // Sends what was asked. Never waits: a full socket keeps the rest for the next flush.
    void flush();
    // Before sleeping on fd(): false when events were waiting (dispatched now) instead.
    bool prepareRead();
    // After the sleep: reads when fd() became readable, else lets go of the prepared read.
    void finishRead(bool readable);
    // The connection failed (the compositor went, or a protocol error).
    bool failed() const { return wl_display_get_error(display_->connection()) != 0; }

private:
    std::shared_ptr<Display> display_;
    wl_event_queue* queue_ = nullptr;
    wl_compositor* compositor_ = nullptr;
    wl_shm* shm_ = nullptr;
    wp_viewporter* viewporter_ = nullptr; // the display's: it has no events to wrap
    wp_presentation* presentation_ = nullptr;
    wp_fractional_scale_manager_v1* fractionalScale_ = nullptr;
};

} // namespace olm::wayland
