#include "picture_pool.h"

#include "plane_ops.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace olm {

namespace {

constexpr size_t kAlign = 64;
size_t alignUp(size_t n) {
    return (n + kAlign - 1) / kAlign * kAlign;
}

// Lays out a 4:2:0 image at base with the given strides; returns the bytes it takes.
size_t layOut(PlaneSet& set, uint8_t* base, int width, int height, const size_t strides[3]) {
    const size_t lumaSize = alignUp(strides[0] * height);
    const size_t chromaRows = (size_t(height) + 1) / 2;
    const size_t uSize = alignUp(strides[1] * chromaRows), vSize = alignUp(strides[2] * chromaRows);
    set.width = width;
    set.height = height;
    for (int p = 0; p < 3; ++p)
        set.strides[p] = int(strides[p]);
    if (base) {
        set.planes[0] = base;
        set.planes[1] = base + lumaSize;
        set.planes[2] = base + lumaSize + uSize;
    }
    return lumaSize + uSize + vSize;
}

// The size and strides of a w x h picture box-reduced by factor.
struct ReducedLayout {
    int width, height;
    size_t strides[3];
};
ReducedLayout reducedLayout(int w, int h, int factor) {
    const int width = (w + factor - 1) / factor, height = (h + factor - 1) / factor;
    const size_t chroma = alignUp((size_t(width) + 1) / 2);
    return {width, height, {alignUp(width), chroma, chroma}};
}

uint8_t* writable(const uint8_t* plane) {
    return const_cast<uint8_t*>(plane); // planes laid out in the picture's own storage
}

} // namespace

void Picture::FreeDeleter::operator()(uint8_t* p) const {
    ::operator delete(p, std::align_val_t(kAlign));
}

bool Picture::reserve(size_t bytes) {
    if (bytes <= capacity_)
        return true;
    void* memory = ::operator new(bytes, std::align_val_t(kAlign), std::nothrow);
    if (!memory)
        return false;
    storage_.reset(static_cast<uint8_t*>(memory));
    capacity_ = bytes;
    return true;
}

bool Picture::copyFrom(const PictureSource& source, bool withHalf) {
    const int w = source.width, h = source.height;
    const size_t widths[3] = {size_t(w), (size_t(w) + 1) / 2, (size_t(w) + 1) / 2};
    const size_t rows[3] = {size_t(h), (size_t(h) + 1) / 2, (size_t(h) + 1) / 2};
    // Keep the caller's strides when they are tidy, so each plane is one copy.
    size_t strides[3];
    for (int p = 0; p < 3; ++p) {
        const size_t s = size_t(source.strides[p]);
        strides[p] = s <= alignUp(widths[p]) ? s : alignUp(widths[p]);
    }
    const ReducedLayout h2 = reducedLayout(w, h, 2);

    PlaneSet full, halved;
    const size_t fullSize = layOut(full, nullptr, w, h, strides);
    const size_t halfSize = withHalf ? layOut(halved, nullptr, h2.width, h2.height, h2.strides) : 0;
    if (!reserve(fullSize + halfSize))
        return false;
    release_ = Release{};
    format = source.format;
    layOut(*this, storage_.get(), w, h, strides);
    reduced = PlaneSet{};
    if (!withHalf) {
        for (int p = 0; p < 3; ++p)
            copyPlane(source.planes[p], size_t(source.strides[p]), widths[p], rows[p],
                      writable(planes[p]), strides[p]);
        return true;
    }
    layOut(reduced, storage_.get() + fullSize, h2.width, h2.height, h2.strides);
    for (int p = 0; p < 3; ++p)
        copyAndHalvePlane(source.planes[p], size_t(source.strides[p]), int(widths[p]), int(rows[p]),
                          writable(planes[p]), strides[p], writable(reduced.planes[p]),
                          h2.strides[p]);
    storeFence(); // the streamed copy is in memory before the picture is published
    return true;
}

void Picture::borrow(const PictureSource& source) {
    static_cast<PlaneSet&>(*this) = source;
    reduced = PlaneSet{};
    format = source.format;
    release_ = source.release;
}

bool Picture::keepReducedOf(const PictureSource& source, int factor) {
    const int w = source.width, h = source.height;
    const ReducedLayout r = reducedLayout(w, h, factor);
    PlaneSet layout;
    if (!reserve(layOut(layout, nullptr, r.width, r.height, r.strides)))
        return false;
    layOut(reduced, storage_.get(), r.width, r.height, r.strides);
    const int chromaWidth = (w + 1) / 2, chromaHeight = (h + 1) / 2;
    for (int p = 0; p < 3; ++p) {
        const int pw = p ? chromaWidth : w, ph = p ? chromaHeight : h;
        if (factor == 4)
            quarterPlane(source.planes[p], source.strides[p], pw, ph, writable(reduced.planes[p]),
                         int(r.strides[p]));
        else
            halvePlane(source.planes[p], source.strides[p], pw, ph, writable(reduced.planes[p]),
                       int(r.strides[p]));
    }
    static_cast<PlaneSet&>(*this) = PlaneSet{};
    width = w;
    height = h;
    format = source.format;
    release_ = Release{};
    return true;
}

Release Picture::takeRelease() {
    const Release release = release_;
    release_ = Release{};
    return release;
}

PicturePool::PicturePool(int depth) : slots_(static_cast<size_t>(depth)) {}

PicturePool::~PicturePool() {
    for (Slot& slot : slots_)
        slot.picture.takeRelease()();
}

PicturePool::Slot* PicturePool::slotOf(Picture* picture) {
    for (Slot& slot : slots_)
        if (&slot.picture == picture)
            return &slot;
    return nullptr;
}

Release PicturePool::freeSlot(Slot& slot) {
    slot.state = State::Free;
    return slot.picture.takeRelease();
}

Picture* PicturePool::acquire(bool* dropped) {
    Release dropRelease;
    Picture* picture = nullptr;
    *dropped = false;
    {
        std::lock_guard lock(mutex_);
        Slot* ready = nullptr;
        for (Slot& slot : slots_) {
            if (slot.state == State::Free) {
                slot.state = State::Filling;
                return &slot.picture;
            }
            if (slot.state == State::Ready)
                ready = &slot;
        }
        if (!ready)
            return nullptr;
        dropRelease = freeSlot(*ready);
        ready->state = State::Filling;
        *dropped = true;
        picture = &ready->picture;
    }
    dropRelease();
    return picture;
}

void PicturePool::release(Picture* picture) {
    Release release;
    {
        std::lock_guard lock(mutex_);
        release = freeSlot(*slotOf(picture));
    }
    release();
}

bool PicturePool::publish(Picture* picture) {
    Release dropRelease;
    bool dropped = false;
    {
        std::lock_guard lock(mutex_);
        for (Slot& slot : slots_) {
            if (slot.state == State::Ready) {
                dropRelease = freeSlot(slot); // at most one picture is ever Ready
                dropped = true;
            }
        }
        slotOf(picture)->state = State::Ready;
    }
    dropRelease();
    return dropped;
}

bool PicturePool::hasReady() {
    std::lock_guard lock(mutex_);
    for (const Slot& slot : slots_)
        if (slot.state == State::Ready)
            return true;
    return false;
}

Picture* PicturePool::takeNewest() {
    Release oldRelease;
    {
        std::lock_guard lock(mutex_);
        Slot* ready = nullptr;
        for (Slot& slot : slots_)
            if (slot.state == State::Ready)
                ready = &slot;
        if (!ready)
            return nullptr;
        if (shown_)
            oldRelease = freeSlot(*slotOf(shown_));
        ready->state = State::Shown;
        shown_ = &ready->picture;
    }
    oldRelease();
    return shown_;
}

} // namespace olm
