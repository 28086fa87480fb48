#pragma once

// Turns a YUV 4:2:0 picture into packed RGB at the size it is shown. X-free.
//
// libswscale's scaled RGB output runs in plain C and its fast SIMD colour conversion only works
// unscaled on an even number of rows, so the work is split: halve the planes with a 2x2 box
// filter while the picture is at least twice the target (starting from the picture's own halved
// version when put made one), scale in YUV (SIMD) to the target width and an even height, then
// convert to RGB unscaled. For a 1920x1080 picture shown at 784x441 that is about a third of the
// time of one scaled conversion, and the box filter keeps large reductions free of aliasing.
//
// The colour matrix and range of each picture go into the RGB conversion's coefficients, so a
// BT.709 or full-range picture costs the same as a BT.601 one. A picture of odd height shown at
// its own size is converted as it is (its last row repeated to make the row count even), not
// resampled.

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

    // Rows the destination must hold for a target of the given height (rounded up to even).
    static int rowsNeeded(int height) { return height + (height & 1); }

    // Writes the picture, scaled to width x height, in format into dst (rowsNeeded(height) rows
    // of dstStride bytes). False when libswscale cannot do the conversion.
    bool scale(const Picture& picture, AVPixelFormat format, int width, int height, uint8_t* dst,
               int dstStride);

private:
    struct Planes {
        int width = 0, height = 0, strides[3] = {0, 0, 0};
        std::vector<uint8_t> data;
        uint8_t* planes[3] = {nullptr, nullptr, nullptr};
        void resize(int w, int h);
    };

    Planes halved_[2]; // ping-pong for repeated halving
    Planes scaled_;
    // Points the RGB conversion at the picture's matrix and range when they differ from the last.
    void useColour(const PictureFormat& format);

    std::vector<uint8_t> evenLuma_; // an odd-height luma plane with its last row repeated
    SwsContext* yuvScale_ = nullptr;
    SwsContext* toRgb_ = nullptr;
    bool colourWarned_ = false;
};

} // namespace olm
