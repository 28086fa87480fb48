#pragma once

// One video output: its picture pool, its render thread and its backend. The C functions in
// olm_vout.cpp find outputs through the handle registry and call these members.

#include "backend.h"
#include "olm_vout.h"
#include "picture_pool.h"
#include "presentation_timing.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

struct olm_vout {
public:
    // Opens the backend on the host and starts the render thread; null with *error set on
    // failure, with nothing left behind. Throws nothing.
    static std::unique_ptr<olm_vout> open(olm::OpenBackend openBackend,
                                          const olm::BackendContext& host, int poolDepth,
                                          std::string* error);
    // Stops and joins the render thread and closes the backend. Further puts are harmless.
    // Returns within about a second even when the window system does not answer.
    void shutDown();
    ~olm_vout();

    // Takes a checked picture: copies it into the pool, or keeps it when it is borrowed.
    int put(const olm::PictureSource& source);
    int32_t displayMode() const { return mode_.load(std::memory_order_relaxed); }
    void setDisplayMode(int32_t mode);
    // The rectangle of the host the output covers (Wayland hosts): shown with the picture placed
    // in it, on the caller's thread.
    void setArea(const olm::Rect& area);
    bool coversArea() const { return coversArea_; }
    olm_vout_stats stats() const;
    const olm::PresentationTiming& timing() const { return timing_; }

private:
    // What the render thread knows between its passes.
    struct RenderState {
        bool redraw = true; // start by clearing the window to black
        bool hidden = false;
        bool gone = false;
        // A drawing that failed (memory short, say) is tried again then, later each time; 0
        // while nothing failed.
        int64_t retryAtUs = 0;
        int64_t retryDelayUs = 0;
        void retryLater();
    };

    olm_vout(int poolDepth, int wakeFd);
    void wake();
    void renderLoop();
    // One look at the window and the pool; true when it did something (then the loop looks
    // again before it sleeps).
    bool renderPass(RenderState& state);
    // The box reduction put makes of a picture shown at `factor` of its size or less: 0 (none),
    // 2 or 4, from the window's size and mode now and the picture's own shape and turn.
    int reductionFor(const olm::PictureSource& source) const;
    // Sleeps until a wake-up, the window system has something to say, the backend's deadline or
    // wakeAtUs.
    void waitForWork(bool gone, int64_t wakeAtUs);

    std::unique_ptr<olm::Backend> backend_;
    // A layout change on a caller's thread against the render thread's passes (which place and
    // show pictures) and the backend going.
    std::mutex layoutMutex_;
    bool coversArea_ = false; // a Wayland output: it covers an area of its host surface
    olm::PicturePool pool_;
    olm::PresentationTiming timing_;
    int wakeFd_; // eventfd: a new picture, a mode change or the request to quit

    std::atomic<int32_t> mode_{VOUT_NORMAL};
    // The window's size as the render thread last saw it (width << 16 | height, each at most
    // 32767), 0 before it looked: put places each picture in it to see how large it shows.
    std::atomic<uint32_t> windowSize_{0};
    std::atomic<bool> redrawRequested_{false};
    std::atomic<bool> quit_{false};
    std::atomic<bool> renderEnded_{false};
    // Set while the render thread would draw a new picture at once; puts wake it only then (while
    // no buffer is free, the window system's answer wakes it).
    std::atomic<bool> wantsPicture_{true};
    std::atomic<uint64_t> put_{0}, dropped_{0};
    std::thread renderThread_;
};
