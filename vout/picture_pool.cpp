#include "picture_pool.h"

#include "plane_ops.h"

#include <cstdlib>
#include <cstring>

namespace olm {

namespace {

constexpr size_t kAlign = 64;
size_t alignUp(size_t n) {
    return (n + kAlign - 1) / kAlign * kAlign;
}

// Lays out a 4:2:0 image at base with the given strides; returns the bytes it takes.
size_t layOut(PlaneSet& set, uint8_t* base, int width, int height, size_t lumaStride,
              size_t chromaStride) {
    const size_t lumaSize = alignUp(lumaStride * height);
    const size_t chromaSize = alignUp(chromaStride * ((size_t(height) + 1) / 2));
    set.width = width;
    set.height = height;
    set.lumaStride = int(lumaStride);
    set.chromaStride = int(chromaStride);
    if (base) {
        set.planes[0] = base;
        set.planes[1] = base + lumaSize;
        set.planes[2] = base + lumaSize + chromaSize;
    }
    return lumaSize + 2 * chromaSize;
}

} // namespace

void Picture::FreeDeleter::operator()(uint8_t* p) const {
    std::free(p);
}

bool Picture::copyFrom(const uint8_t* y, const uint8_t* u, const uint8_t* v, int stride, int w,
                       int h, bool withHalf) {
    const size_t chromaWidth = (size_t(w) + 1) / 2;
    const size_t chromaRows = (size_t(h) + 1) / 2;
    const size_t srcChromaStride = (size_t(stride) + 1) / 2;
    // Keep the caller's strides when they are tidy, so each plane is one copy.
    const bool keepStrides = size_t(stride) <= alignUp(w);
    const size_t yStride = keepStrides ? size_t(stride) : alignUp(w);
    const size_t cStride = keepStrides ? srcChromaStride : alignUp(chromaWidth);
    const int halfWidth = (w + 1) / 2, halfHeight = (h + 1) / 2;
    const size_t halfLuma = alignUp(halfWidth), halfChroma = alignUp((size_t(halfWidth) + 1) / 2);

    PlaneSet full, halved;
    const size_t fullSize = layOut(full, nullptr, w, h, yStride, cStride);
    const size_t halfSize =
        withHalf ? layOut(halved, nullptr, halfWidth, halfHeight, halfLuma, halfChroma) : 0;
    const size_t needed = fullSize + halfSize;
    if (needed > capacity_) {
        void* memory = nullptr;
        if (posix_memalign(&memory, kAlign, needed) != 0)
            return false;
        storage_.reset(static_cast<uint8_t*>(memory));
        capacity_ = needed;
    }
    layOut(*this, storage_.get(), w, h, yStride, cStride);
    half = PlaneSet{};
    if (!withHalf) {
        copyPlane(y, size_t(stride), size_t(w), size_t(h), planes[0], yStride);
        copyPlane(u, srcChromaStride, chromaWidth, chromaRows, planes[1], cStride);
        copyPlane(v, srcChromaStride, chromaWidth, chromaRows, planes[2], cStride);
        return true;
    }
    layOut(half, storage_.get() + fullSize, halfWidth, halfHeight, halfLuma, halfChroma);
    copyAndHalvePlane(y, size_t(stride), w, h, planes[0], yStride, half.planes[0], halfLuma);
    copyAndHalvePlane(u, srcChromaStride, int(chromaWidth), int(chromaRows), planes[1], cStride,
                      half.planes[1], halfChroma);
    copyAndHalvePlane(v, srcChromaStride, int(chromaWidth), int(chromaRows), planes[2], cStride,
                      half.planes[2], halfChroma);
    storeFence(); // the streamed copy is in memory before the picture is published
    return true;
}

PicturePool::PicturePool(int depth) : slots_(static_cast<size_t>(depth)) {}

PicturePool::Slot* PicturePool::slotOf(Picture* picture) {
    for (Slot& slot : slots_)
        if (&slot.picture == picture)
            return &slot;
    return nullptr;
}

Picture* PicturePool::acquire(bool* dropped) {
    std::lock_guard lock(mutex_);
    *dropped = false;
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
    ready->state = State::Filling;
    *dropped = true;
    return &ready->picture;
}

void PicturePool::release(Picture* picture) {
    std::lock_guard lock(mutex_);
    slotOf(picture)->state = State::Free;
}

bool PicturePool::publish(Picture* picture) {
    std::lock_guard lock(mutex_);
    bool dropped = false;
    for (Slot& slot : slots_) {
        if (slot.state == State::Ready) {
            slot.state = State::Free;
            dropped = true;
        }
    }
    slotOf(picture)->state = State::Ready;
    return dropped;
}

Picture* PicturePool::takeNewest() {
    std::lock_guard lock(mutex_);
    for (Slot& slot : slots_) {
        if (slot.state == State::Ready) {
            if (shown_)
                slotOf(shown_)->state = State::Free;
            slot.state = State::Shown;
            shown_ = &slot.picture;
            return shown_;
        }
    }
    return nullptr;
}

} // namespace olm
