#include "yuv420_converter.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

Yuv420Converter::~Yuv420Converter() {
    sws_freeContext(sws_);
}

bool Yuv420Converter::isDirect(const AVFrame& frame) {
    return frame.format == AV_PIX_FMT_YUV420P && frame.color_range != AVCOL_RANGE_JPEG &&
           frame.linesize[0] > 0 && frame.linesize[1] == (frame.linesize[0] + 1) / 2 &&
           frame.linesize[2] == frame.linesize[1];
}

bool Yuv420Converter::convert(const AVFrame& frame, Yuv420Planes* out) {
    if (frame.width <= 0 || frame.height <= 0 || !frame.data[0])
        return false;
    if (isDirect(frame)) {
        *out = {frame.data[0],     frame.data[1], frame.data[2],
                frame.linesize[0], frame.width,   frame.height};
        return true;
    }
    sws_ = sws_getCachedContext(sws_, frame.width, frame.height, AVPixelFormat(frame.format),
                                frame.width, frame.height, AV_PIX_FMT_YUV420P, SWS_BILINEAR,
                                nullptr, nullptr, nullptr);
    if (!sws_)
        return false;
    // Full-range input (JPEG-style) is brought to the limited range the output expects.
    int* inverse = nullptr;
    int* table = nullptr;
    int srcRange = 0, dstRange = 0, brightness = 0, contrast = 0, saturation = 0;
    if (sws_getColorspaceDetails(sws_, &inverse, &srcRange, &table, &dstRange, &brightness,
                                 &contrast, &saturation) >= 0) {
        const int fullRange = frame.color_range == AVCOL_RANGE_JPEG || srcRange ? 1 : 0;
        if (srcRange != fullRange || dstRange != 0)
            sws_setColorspaceDetails(sws_, inverse, fullRange, table, 0, brightness, contrast,
                                     saturation);
    }
    const int stride = (frame.width + 63) / 64 * 64; // even, so the chroma stride is exactly half
    const int chromaStride = stride / 2;
    const int chromaRows = (frame.height + 1) / 2;
    const size_t lumaSize = size_t(stride) * frame.height;
    const size_t chromaSize = size_t(chromaStride) * chromaRows;
    buffer_.resize(lumaSize + 2 * chromaSize);
    uint8_t* planes[4] = {buffer_.data(), buffer_.data() + lumaSize,
                          buffer_.data() + lumaSize + chromaSize, nullptr};
    int strides[4] = {stride, chromaStride, chromaStride, 0};
    if (sws_scale(sws_, frame.data, frame.linesize, 0, frame.height, planes, strides) <= 0)
        return false;
    *out = {planes[0], planes[1], planes[2], stride, frame.width, frame.height};
    return true;
}
