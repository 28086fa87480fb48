#pragma once

// Hands decoded frames to a video output. With olm_vout_put_picture, each frame goes with its
// colour matrix, range and sample aspect; planar 8-bit 4:2:0 frames go by reference (a new
// reference to the frame's buffers, dropped when the output lets go), anything else is converted
// once and copied. Against a library with only the five functions, frames are converted to what
// olm_vout_put_buffer_pool_yuv takes, as before.

#include "olm_vout.h"
#include "yuv420_converter.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/rational.h>
}

// olm_vout's matrix for a frame: its own tag, else BT.709 for HD sizes (wider than 1279 or taller
// than 576) and BT.601 below, as players commonly guess.
int voutMatrixOf(const AVFrame& frame);
// OLM_VOUT_RANGE_FULL for full-range frames (tagged so, or yuvj420p: the only yuvj format
// handed over as it is; the others are converted to limited range).
int voutRangeOf(const AVFrame& frame);

class PictureHandover {
public:
    // Puts the frame into the output; sampleAspect is the frame's (or else its stream's), 0/1
    // when unknown. The output's result is not reported (a refused picture is just not shown),
    // nor is a frame that cannot be converted; false only when memory ran out on this side
    // (the converted copy, or the frame's new reference).
    bool put(olm_vout_t* vout, const AVFrame& frame, AVRational sampleAspect);

private:
    Yuv420Converter converter_;
};
