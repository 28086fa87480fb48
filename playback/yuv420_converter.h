#pragma once

// Gives a decoded picture as the planes that olm_vout takes: YUV 4:2:0, limited range, with
// chroma strides of (luma stride + 1) / 2. Pictures that already are so pass through untouched;
// anything else (other subsampling, full range, deeper samples, other strides) is converted.

extern "C" {
#include <libavutil/frame.h>
}

#include <cstdint>
#include <vector>

struct SwsContext;

struct Yuv420Planes {
    const uint8_t* y = nullptr;
    const uint8_t* u = nullptr;
    const uint8_t* v = nullptr;
    int stride = 0, width = 0, height = 0;
};

class Yuv420Converter {
public:
    Yuv420Converter() = default;
    ~Yuv420Converter();
    Yuv420Converter(const Yuv420Converter&) = delete;
    Yuv420Converter& operator=(const Yuv420Converter&) = delete;

    // True when the frame can be handed over as it is.
    static bool isDirect(const AVFrame& frame);
    // The frame as olm_vout planes; false when it cannot be converted. The planes stay valid
    // until the next call or until the frame is reused.
    bool convert(const AVFrame& frame, Yuv420Planes* out);

private:
    SwsContext* sws_ = nullptr;
    std::vector<uint8_t> buffer_;
};
