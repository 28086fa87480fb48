#pragma once

// Byte-plane primitives used when pictures are taken in and scaled: a 2x2 box filter and copies.
// X-free.

#include <cstddef>
#include <cstdint>

namespace olm {

// Halves one plane with a 2x2 box filter (rounded): dst is (width + 1) / 2 by (height + 1) / 2;
// an odd last column or row is averaged with itself.
void halvePlane(const uint8_t* src, int srcStride, int width, int height, uint8_t* dst,
                int dstStride);

// Reduces one plane by 4 in each direction with a 4x4 box filter (rounded); width and height
// must be multiples of 4.
void quarterPlane(const uint8_t* src, int srcStride, int width, int height, uint8_t* dst,
                  int dstStride);

// Copies a plane row by row (one copy when the strides match).
void copyPlane(const uint8_t* src, size_t srcStride, size_t width, size_t rows, uint8_t* dst,
               size_t dstStride);

// Copies a plane with streaming stores (the copy bypasses this core's cache) and, in the same
// pass while the source rows are in cache, writes its box-halved version into half (ordinary
// stores: it is what the render thread reads next). Call storeFence() before publishing.
void copyAndHalvePlane(const uint8_t* src, size_t srcStride, int width, int height, uint8_t* dst,
                       size_t dstStride, uint8_t* half, size_t halfStride);

// Orders the streaming stores before the stores that follow.
void storeFence();

} // namespace olm
