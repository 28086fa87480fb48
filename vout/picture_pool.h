#pragma once

// A small pool of YUV 4:2:0 picture buffers shared by the threads that put pictures and the one
// render thread that shows them. The newest picture wins: publishing a picture releases an
// older one that was never taken, so the pool never queues more than one picture to show.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace olm {

// One YUV 4:2:0 image: size, strides and planes (which point into a Picture's storage).
struct PlaneSet {
    int width = 0, height = 0;
    int lumaStride = 0, chromaStride = 0;
    uint8_t* planes[3] = {nullptr, nullptr, nullptr};
};

struct Picture : PlaneSet {
    // The picture box-halved, made while copying when the output shows pictures at most half
    // their size; width 0 when absent. The full picture is kept for redraws at any size.
    PlaneSet half;

    // Copies a caller's picture in (chroma strides (stride + 1) / 2), with its halved version
    // when withHalf is set. False when out of memory.
    bool copyFrom(const uint8_t* y, const uint8_t* u, const uint8_t* v, int stride, int width,
                  int height, bool withHalf = false);

private:
    struct FreeDeleter {
        void operator()(uint8_t* p) const;
    };
    std::unique_ptr<uint8_t, FreeDeleter> storage_;
    size_t capacity_ = 0;
};

class PicturePool {
public:
    explicit PicturePool(int depth);

    // A buffer for the caller to fill: a free one, or else the picture waiting to be shown (it is
    // dropped, and *dropped is set). Null when every buffer is being filled or shown.
    Picture* acquire(bool* dropped);
    // Hands back a buffer from acquire without publishing it.
    void release(Picture* picture);
    // Makes a filled buffer the next picture to show. A picture published earlier and not yet
    // taken goes back to the pool; returns true in that case (it was dropped).
    bool publish(Picture* picture);

    // The render thread's side: takes the newest published picture as the one shown, handing the
    // previously shown one back. Null when nothing new was published.
    Picture* takeNewest();
    // The picture taken last, kept for redraws; null before the first.
    Picture* shown() const { return shown_; }

private:
    enum class State { Free, Filling, Ready, Shown };
    struct Slot {
        Picture picture;
        State state = State::Free;
    };
    Slot* slotOf(Picture* picture);

    std::mutex mutex_;
    std::vector<Slot> slots_;
    Picture* shown_ = nullptr; // written and read by the render thread only
};

} // namespace olm
