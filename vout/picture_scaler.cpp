#include "picture_scaler.h"

extern "C" {
#include <libswscale/swscale.h>
}

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace olm {

namespace {

int alignUp(int n) {
    return (n + 63) / 64 * 64;
}

// Sum of one row pair's 2x2 blocks, plain C; x counts destination pixels.
inline uint8_t boxAt(const uint8_t* r0, const uint8_t* r1, int x, int width) {
    const int a = 2 * x, b = 2 * x + 1 < width ? 2 * x + 1 : 2 * x;
    return uint8_t((r0[a] + r0[b] + r1[a] + r1[b] + 2) >> 2);
}

} // namespace

void halvePlane(const uint8_t* src, int srcStride, int width, int height, uint8_t* dst,
                int dstStride) {
    const int outWidth = (width + 1) / 2, outHeight = (height + 1) / 2;
    const int pairs = width / 2; // destination pixels with two source columns
    for (int y = 0; y < outHeight; ++y) {
        const uint8_t* r0 = src + size_t(2 * y) * srcStride;
        const uint8_t* r1 = 2 * y + 1 < height ? r0 + srcStride : r0;
        uint8_t* d = dst + size_t(y) * dstStride;
        int x = 0;
#if defined(__SSE2__)
        const __m128i low = _mm_set1_epi16(0x00ff), two = _mm_set1_epi16(2);
        auto sums = [&](const uint8_t* p, const uint8_t* q) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
            const __m128i s =
                _mm_add_epi16(_mm_add_epi16(_mm_and_si128(a, low), _mm_srli_epi16(a, 8)),
                              _mm_add_epi16(_mm_and_si128(b, low), _mm_srli_epi16(b, 8)));
            return _mm_srli_epi16(_mm_add_epi16(s, two), 2);
        };
        for (; x + 16 <= pairs; x += 16) {
            const __m128i lo = sums(r0 + 2 * x, r1 + 2 * x);
            const __m128i hi = sums(r0 + 2 * x + 16, r1 + 2 * x + 16);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x), _mm_packus_epi16(lo, hi));
        }
#endif
        for (; x < outWidth; ++x)
            d[x] = boxAt(r0, r1, x, width);
    }
}

void PictureScaler::Planes::resize(int w, int h) {
    if (w == width && h == height)
        return;
    width = w;
    height = h;
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    strides[0] = alignUp(w);
    strides[1] = strides[2] = alignUp(cw);
    const size_t lumaSize = size_t(strides[0]) * h, chromaSize = size_t(strides[1]) * ch;
    data.resize(lumaSize + 2 * chromaSize + 64);
    planes[0] = data.data();
    planes[1] = planes[0] + lumaSize;
    planes[2] = planes[1] + chromaSize;
}

PictureScaler::~PictureScaler() {
    sws_freeContext(yuvScale_);
    sws_freeContext(toRgb_);
}

bool PictureScaler::scale(const Picture& picture, AVPixelFormat format, int width, int height,
                          uint8_t* dst, int dstStride) {
    const uint8_t* planes[3] = {picture.planes[0], picture.planes[1], picture.planes[2]};
    int strides[3] = {picture.lumaStride, picture.chromaStride, picture.chromaStride};
    int w = picture.width, h = picture.height;

    // Box-halve while the result still covers the target.
    for (int i = 0; (w + 1) / 2 >= width && (h + 1) / 2 >= height && w > 1 && h > 1; ++i) {
        Planes& out = halved_[i % 2];
        out.resize((w + 1) / 2, (h + 1) / 2);
        halvePlane(planes[0], strides[0], w, h, out.planes[0], out.strides[0]);
        for (int p = 1; p < 3; ++p)
            halvePlane(planes[p], strides[p], (w + 1) / 2, (h + 1) / 2, out.planes[p],
                       out.strides[p]);
        w = out.width;
        h = out.height;
        for (int p = 0; p < 3; ++p) {
            planes[p] = out.planes[p];
            strides[p] = out.strides[p];
        }
    }

    const int rows = rowsNeeded(height);
    if (w != width || h != rows) {
        scaled_.resize(width, rows);
        yuvScale_ =
            sws_getCachedContext(yuvScale_, w, h, AV_PIX_FMT_YUV420P, width, rows,
                                 AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!yuvScale_)
            return false;
        sws_scale(yuvScale_, planes, strides, 0, h, scaled_.planes, scaled_.strides);
        for (int p = 0; p < 3; ++p) {
            planes[p] = scaled_.planes[p];
            strides[p] = scaled_.strides[p];
        }
        h = rows;
    }

    toRgb_ = sws_getCachedContext(toRgb_, width, h, AV_PIX_FMT_YUV420P, width, h, format, SWS_POINT,
                                  nullptr, nullptr, nullptr);
    if (!toRgb_)
        return false;
    uint8_t* out[4] = {dst, nullptr, nullptr, nullptr};
    int outStrides[4] = {dstStride, 0, 0, 0};
    sws_scale(toRgb_, planes, strides, 0, h, out, outStrides);
    return true;
}

} // namespace olm
