#pragma once

// Hands decoded frames to a video output. With olm_vout_put_picture, each frame goes with its
// colour matrix, range and sample aspect; planar 8-bit 4:2:0 frames go by reference (a new
// reference to the frame's buffers, dropped when the output lets go), anything else is converted
// once and copied. Against a library with only the five functions, frames are converted to what
// olm_vout_put_buffer_pool_yuv takes, as before.

#include "display_rotation.h"
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

// How a frame is to be shown, beyond its pixels.
struct FrameDisplay {
    AVRational sampleAspect{0, 1}; // the frame's (or else its stream's); 0/1 when unknown
    int rotation = 0;              // degrees clockwise to turn it (display_rotation.h)
};

class PictureHandover {
public:
    // byReference: planar 4:2:0 frames go by reference (what playback does); without it they
    // are copied, as benchmarks compare.
    explicit PictureHandover(bool byReference = true) : byReference_(byReference) {}

    // Puts the frame into the output, turned as display says: by the output where its
    // olm_vout_put_picture knows the turn, else turned here first, so the picture stands the
    // right way up with any olm_vout. The output's result is not reported (a refused picture is
    // just not shown), nor is a frame that cannot be converted; false only when memory ran out on
    // this side (the converted or turned copy, or the frame's new reference).
    bool put(olm_vout_t* vout, const AVFrame& frame, const FrameDisplay& display);

private:
    // olm_vout_put_picture with the largest record the library is known to take. A library that
    // refuses the current record but takes the first version's is remembered as such; a turned
    // picture it refused is left to the caller (*turnRefused) to turn and send again.
    int putRecord(olm_vout_t* vout, olm_vout_picture& picture, bool* turnRefused);

    bool byReference_;
    uint32_t recordSize_ = OLM_VOUT_PICTURE_SIZE_1_1;
    Yuv420Converter converter_;
    PictureTurner turner_;
};
