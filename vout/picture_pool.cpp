#include "picture_pool.h"

#include <cstdlib>
#include <cstring>

namespace olm {

namespace {
constexpr size_t kAlign = 64;
size_t alignUp(size_t n) {
    return (n + kAlign - 1) / kAlign * kAlign;
}

void copyPlane(uint8_t* dst, size_t dstStride, const uint8_t* src, size_t srcStride, size_t width,
               size_t rows) {
    if (dstStride == srcStride) {
        std::memcpy(dst, src, dstStride * (rows - 1) + width);
        return;
    }
    for (size_t r = 0; r < rows; ++r)
        std::memcpy(dst + r * dstStride, src + r * srcStride, width);
}
} // namespace

void Picture::FreeDeleter::operator()(uint8_t* p) const {
    std::free(p);
}

bool Picture::copyFrom(const uint8_t* y, const uint8_t* u, const uint8_t* v, int stride, int w,
                       int h) {
    const size_t chromaWidth = (size_t(w) + 1) / 2;
    const size_t chromaRows = (size_t(h) + 1) / 2;
    const size_t srcChromaStride = (size_t(stride) + 1) / 2;
    // Keep the caller's strides when they are tidy, so each plane is one copy.
    const bool keepStrides = size_t(stride) <= alignUp(w);
    const size_t yStride = keepStrides ? size_t(stride) : alignUp(w);
    const size_t cStride = keepStrides ? srcChromaStride : alignUp(chromaWidth);
    const size_t lumaSize = alignUp(yStride * h);
    const size_t chromaSize = alignUp(cStride * chromaRows);
    const size_t needed = lumaSize + 2 * chromaSize;

    if (needed > capacity_) {
        void* memory = nullptr;
        if (posix_memalign(&memory, kAlign, needed) != 0)
            return false;
        storage_.reset(static_cast<uint8_t*>(memory));
        capacity_ = needed;
    }
    uint8_t* base = storage_.get();
    planes[0] = base;
    planes[1] = base + lumaSize;
    planes[2] = base + lumaSize + chromaSize;
    width = w;
    height = h;
    lumaStride = static_cast<int>(yStride);
    chromaStride = static_cast<int>(cStride);

    copyPlane(planes[0], yStride, y, size_t(stride), size_t(w), size_t(h));
    copyPlane(planes[1], cStride, u, srcChromaStride, chromaWidth, chromaRows);
    copyPlane(planes[2], cStride, v, srcChromaStride, chromaWidth, chromaRows);
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
