#pragma once

// A small pool of YUV 4:2:0 pictures shared by the threads that put pictures and the one render
// thread that shows them. The newest picture wins: publishing a picture lets go of an older one
// that was never taken, so the pool never queues more than one picture to show.
//
// A picture is either copied into the pool's own storage or borrowed: the caller's planes are
// kept as they are, and the caller's release function is called once the pool lets go of them.
// The pool calls it outside its lock, on whichever thread made it let go.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace olm {

// One YUV 4:2:0 image: size, per-plane strides and the Y, U and V planes.
struct PlaneSet {
    int width = 0, height = 0;
    int strides[3] = {0, 0, 0};
    const uint8_t* planes[3] = {nullptr, nullptr, nullptr};
};

// What a picture's samples mean: colour matrix and range (OLM_VOUT_MATRIX_*, OLM_VOUT_RANGE_*),
// sample aspect ratio (a zero term: square) and the turn for display (0, 90, 180 or 270 degrees
// clockwise).
struct PictureFormat {
    int matrix = 0, range = 0;
    int sarNum = 0, sarDen = 0;
    int rotation = 0;
    // Turned a quarter: the displayed picture's sides are swapped.
    bool sidesSwapped() const { return rotation == 90 || rotation == 270; }
};

// A caller's function that takes back borrowed planes; empty for copied pictures.
struct Release {
    void (*function)(void*) = nullptr;
    void* opaque = nullptr;
    void operator()() const {
        if (function)
            function(opaque);
    }
};

// A caller's picture as it is handed to put.
struct PictureSource : PlaneSet {
    PictureFormat format;
    Release release;       // set: borrow the planes; empty: copy them
    int64_t putMicros = 0; // when the caller handed it over, on CLOCK_MONOTONIC
};

struct Picture : PlaneSet {
    // The picture box-reduced by 2 (or, borrowed, by 4), made on put when the output shows
    // pictures at that fraction of their size or less; width 0 when absent. A copied picture
    // keeps its full planes too, for redraws at any size; a borrowed one keeps only the reduced
    // version (its planes are null), so the caller has its planes back at once.
    PlaneSet reduced;
    PictureFormat format;
    int64_t putMicros = 0; // when it was put, on CLOCK_MONOTONIC

    // Copies the source's planes in, with the halved version when withHalf is set. False when out
    // of memory.
    bool copyFrom(const PictureSource& source, bool withHalf = false);
    // Keeps the source's planes as they are, and its release function.
    void borrow(const PictureSource& source);
    // Keeps only the source's planes box-reduced by factor (2, or 4 for sizes that are multiples
    // of 8), in the picture's own storage: the source's planes are not needed once this returns.
    // False when out of memory.
    bool keepReducedOf(const PictureSource& source, int factor);
    // True when only the reduced version is kept.
    bool onlyReduced() const { return planes[0] == nullptr; }
    // The release function of borrowed planes, once; the picture no longer holds them after.
    Release takeRelease();

private:
    struct FreeDeleter {
        void operator()(uint8_t* p) const;
    };
    // Storage of at least `bytes`, keeping what is there when it is large enough.
    bool reserve(size_t bytes);

    std::unique_ptr<uint8_t, FreeDeleter> storage_;
    size_t capacity_ = 0;
    Release release_;
};

class PicturePool {
public:
    explicit PicturePool(int depth);
    // Gives back every borrowed picture still held.
    ~PicturePool();
    PicturePool(const PicturePool&) = delete;
    PicturePool& operator=(const PicturePool&) = delete;

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
    // True when a published picture waits to be taken.
    bool hasReady();
    // The picture taken last, kept for redraws; null before the first.
    Picture* shown() const { return shown_; }

private:
    enum class State { Free, Filling, Ready, Shown };
    struct Slot {
        Picture picture;
        State state = State::Free;
    };
    Slot* slotOf(Picture* picture);
    // Frees a slot under the lock; returns what must be released once the lock is dropped.
    static Release freeSlot(Slot& slot);

    std::mutex mutex_;
    std::vector<Slot> slots_;
    Picture* shown_ = nullptr; // written and read by the render thread only
};

} // namespace olm
