#include "plane_ops.h"

#include <libyuv/scale.h>

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace olm {

namespace {

// One destination row of a 2x2 box filter from source rows r0 and r1 (of width pixels).
void halveRows(const uint8_t* r0, const uint8_t* r1, int width, uint8_t* d) {
    const int outWidth = (width + 1) / 2;
    int x = 0;
#if defined(__SSE2__)
    const int pairs = width / 2; // destination pixels with two source columns
    const __m128i low = _mm_set1_epi16(0x00ff), two = _mm_set1_epi16(2);
    auto sums = [&](const uint8_t* p, const uint8_t* q) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        const __m128i s = _mm_add_epi16(_mm_add_epi16(_mm_and_si128(a, low), _mm_srli_epi16(a, 8)),
                                        _mm_add_epi16(_mm_and_si128(b, low), _mm_srli_epi16(b, 8)));
        return _mm_srli_epi16(_mm_add_epi16(s, two), 2);
    };
    for (; x + 16 <= pairs; x += 16) {
        const __m128i lo = sums(r0 + 2 * x, r1 + 2 * x);
        const __m128i hi = sums(r0 + 2 * x + 16, r1 + 2 * x + 16);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x), _mm_packus_epi16(lo, hi));
    }
#endif
    for (; x < outWidth; ++x) {
        const int a = 2 * x, b = 2 * x + 1 < width ? 2 * x + 1 : 2 * x;
        d[x] = uint8_t((r0[a] + r0[b] + r1[a] + r1[b] + 2) >> 2);
    }
}

void copyStreaming(uint8_t* dst, const uint8_t* src, size_t n) {
    size_t i = 0;
#if defined(__SSE2__)
    if ((reinterpret_cast<uintptr_t>(dst) & 15) == 0) {
        for (; i + 64 <= n; i += 64) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 16));
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 32));
            const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 48));
            _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i), a);
            _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 16), b);
            _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 32), c);
            _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 48), d);
        }
    }
#endif
    std::memcpy(dst + i, src + i, n - i);
}

} // namespace

void halvePlane(const uint8_t* src, int srcStride, int width, int height, uint8_t* dst,
                int dstStride) {
    if (width % 2 == 0 && height % 2 == 0) {
        // libyuv's 2x box filter rounds alike and reads a plane that has left the cache faster.
        libyuv::ScalePlane(src, srcStride, width, height, dst, dstStride, width / 2, height / 2,
                           libyuv::kFilterBox);
        return;
    }
    for (int y = 0; y < (height + 1) / 2; ++y) {
        const uint8_t* r0 = src + size_t(2 * y) * srcStride;
        const uint8_t* r1 = 2 * y + 1 < height ? r0 + srcStride : r0;
        halveRows(r0, r1, width, dst + size_t(y) * dstStride);
    }
}

void quarterPlane(const uint8_t* src, int srcStride, int width, int height, uint8_t* dst,
                  int dstStride) {
    libyuv::ScalePlane(src, srcStride, width, height, dst, dstStride, width / 4, height / 4,
                       libyuv::kFilterBox);
}

void copyPlane(const uint8_t* src, size_t srcStride, size_t width, size_t rows, uint8_t* dst,
               size_t dstStride) {
    if (dstStride == srcStride) {
        std::memcpy(dst, src, dstStride * (rows - 1) + width);
        return;
    }
    for (size_t r = 0; r < rows; ++r)
        std::memcpy(dst + r * dstStride, src + r * srcStride, width);
}

void copyAndHalvePlane(const uint8_t* src, size_t srcStride, int width, int height, uint8_t* dst,
                       size_t dstStride, uint8_t* half, size_t halfStride) {
    for (int y = 0; y < (height + 1) / 2; ++y) {
        const uint8_t* r0 = src + size_t(2 * y) * srcStride;
        const bool pair = 2 * y + 1 < height;
        const uint8_t* r1 = pair ? r0 + srcStride : r0;
        copyStreaming(dst + size_t(2 * y) * dstStride, r0, size_t(width));
        if (pair)
            copyStreaming(dst + size_t(2 * y + 1) * dstStride, r1, size_t(width));
        halveRows(r0, r1, width, half + size_t(y) * halfStride);
    }
}

void storeFence() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

} // namespace olm
