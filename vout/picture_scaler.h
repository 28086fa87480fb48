#pragma once

// Turns a YUV 4:2:0 picture into packed RGB at the size it is shown, turned as it says. X-free.
//
// Three steps, each done by what measured fastest for it (bench/conversion_bench.cpp): halve the
// planes with a 2x2 box filter while the picture is at least twice the target (starting from the
// picture's own reduced version when put made one), which also keeps large reductions free of
// aliasing; scale in YUV to exactly the target size (libswscale, bilinear); convert to RGB at
// the target size with the picture's own matrix and range (libyuv for the 32- and 24-bit
// layouts where its constants are exact enough; libswscale for the rest: limited-range BT.709
// and BT.2020, SMPTE 240M, 16- and 15-bit and big-endian layouts). A turned picture is turned in
// YUV (libyuv) before or after the scaling, whichever side is smaller, so the turn costs one pass
// over the smaller picture.

#include "picture_pool.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <cstdint>
#include <vector>

struct SwsContext;

namespace olm {

class PictureScaler {
public:
    PictureScaler() = default;
    ~PictureScaler();
    PictureScaler(const PictureScaler&) = delete;
    PictureScaler& operator=(const PictureScaler&) = delete;

    // Rows the destination must hold for a target of the given height: one more than the
    // target for an odd height, where libswscale converts an even number of rows.
    static int rowsNeeded(int height) { return height + (height & 1); }

    // Writes the picture, scaled to width x height, in format into dst (rowsNeeded(height) rows
    // of dstStride bytes; rows past height may be overwritten). False when the conversion is not
    // possible.
    bool scale(const Picture& picture, AVPixelFormat format, int width, int height, uint8_t* dst,
               int dstStride);

private:
    struct Planes {
        int width = 0, height = 0, strides[3] = {0, 0, 0};
        std::vector<uint8_t> data;
        uint8_t* planes[3] = {nullptr, nullptr, nullptr};
        void resize(int w, int h);
    };
    struct View {
        int width = 0, height = 0, strides[3] = {0, 0, 0};
        const uint8_t* planes[3] = {nullptr, nullptr, nullptr};
        bool spareRow = false; // the luma plane is ours, with a writable row after the last
    };
    bool toRgb(const View& yuv, const PictureFormat& colour, AVPixelFormat format, uint8_t* dst,
               int dstStride);
    bool toRgbWithSwscale(View yuv, const PictureFormat& colour, AVPixelFormat format, uint8_t* dst,
                          int dstStride);
    // Points libswscale's RGB conversion at the picture's matrix and range when they differ.
    void useColour(const PictureFormat& format);

    Planes halved_[2]; // ping-pong for repeated halving
    Planes scaled_;
    Planes rotated_;
    std::vector<uint8_t> evenLuma_; // an odd-height luma plane with its last row repeated
    SwsContext* yuvScale_ = nullptr;
    SwsContext* toRgb_ = nullptr;
    bool colourWarned_ = false;
};

} // namespace olm
