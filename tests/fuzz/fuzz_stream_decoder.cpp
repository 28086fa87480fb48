// libFuzzer target: arbitrary bytes as the stream decoder's input, read through its read
// function. Every picture handed out is read in full, so that planes shorter than their
// geometry show up under AddressSanitizer.

#include "stream_decoder.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    size_t position;
};

int readInput(void* opaque, uint8_t* buffer, int capacity) {
    auto* in = static_cast<Input*>(opaque);
    const size_t left = in->size - in->position;
    if (left == 0)
        return AVERROR_EOF;
    const size_t n = left < size_t(capacity) ? left : size_t(capacity);
    std::memcpy(buffer, in->data + in->position, n);
    in->position += n;
    return int(n);
}

volatile unsigned g_sink;

void readPicture(const uint8_t* y, const uint8_t* u, const uint8_t* v, int32_t stride,
                 int32_t width, int32_t height, void*) {
    unsigned sum = 0;
    const int32_t chromaStride = (stride + 1) / 2;
    for (int32_t row = 0; row < height; ++row)
        for (int32_t col = 0; col < width; ++col)
            sum += y[size_t(row) * stride + col];
    for (int32_t row = 0; row < (height + 1) / 2; ++row)
        for (int32_t col = 0; col < (width + 1) / 2; ++col)
            sum += u[size_t(row) * chromaStride + col] + v[size_t(row) * chromaStride + col];
    g_sink = sum;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input{data, size, 0};
    StreamDecoder decoder;
    decoder.runToEnd(readInput, readPicture, "fuzz-input", &input);
    return 0;
}
