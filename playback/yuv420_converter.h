#pragma once

// Gives a decoded picture as the planes that olm_vout takes: YUV 4:2:0, limited range, with
// chroma strides of (luma stride + 1) / 2. Pictures that already are so pass through untouched;
// anything else (other subsampling, full range, deeper samples, other strides) is converted.

extern "C" {
#include <libavutil/frame.h>
}

#include <cstdint>

struct SwsContext;

struct Yuv420Planes {
    const uint8_t* y = nullptr;
    const uint8_t* u = nullptr;
    const uint8_t* v = nullptr;
    int stride = 0, width = 0, height = 0;
};

enum class Conversion {
    Done,        // the planes are set
    Unsupported, // no conversion exists for this picture (empty, unknown format)
    OutOfMemory, // the converted picture's buffer could not be allocated
};

class Yuv420Converter {
public:
    Yuv420Converter() = default;
    ~Yuv420Converter();
    Yuv420Converter(const Yuv420Converter&) = delete;
    Yuv420Converter& operator=(const Yuv420Converter&) = delete;

    // True when the frame can be handed over as it is.
    static bool isDirect(const AVFrame& frame);
    // The frame as olm_vout planes. The planes stay valid until the next call or until the frame
    // is reused. Each frame's own range is honoured, whatever came before it.
    Conversion convert(const AVFrame& frame, Yuv420Planes* out);

private:
    // The conversion context, made for one size, format and range and kept while they last.
    struct Source {
        int width = 0, height = 0, format = -1;
        bool fullRange = false;
        bool operator==(const Source&) const = default;
    };
    Source source_;
    SwsContext* sws_ = nullptr;
    // FFmpeg's allocator, like the frames': a failure is a null pointer, not an exception.
    uint8_t* buffer_ = nullptr;
    unsigned bufferSize_ = 0;
};
