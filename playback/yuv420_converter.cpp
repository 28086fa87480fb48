#include "yuv420_converter.h"

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace {

// The full-range ("JPEG") formats, as their plain counterparts; the range is set apart.
AVPixelFormat withoutFullRangeAlias(AVPixelFormat format) {
    switch (format) {
    case AV_PIX_FMT_YUVJ420P:
        return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
        return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
        return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
        return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
        return AV_PIX_FMT_YUV411P;
    default:
        return format;
    }
}

// A context from the source to limited-range 4:2:0 of the same size. The ranges are set before it
// is initialised: swscale picks its unscaled shortcuts then, and those ignore a range set later.
SwsContext* makeContext(int width, int height, AVPixelFormat format, bool fullRange) {
    SwsContext* sws = sws_alloc_context();
    if (!sws)
        return nullptr;
    av_opt_set_int(sws, "srcw", width, 0);
    av_opt_set_int(sws, "srch", height, 0);
    av_opt_set_int(sws, "src_format", format, 0);
    av_opt_set_int(sws, "src_range", fullRange, 0);
    av_opt_set_int(sws, "dstw", width, 0);
    av_opt_set_int(sws, "dsth", height, 0);
    av_opt_set_int(sws, "dst_format", AV_PIX_FMT_YUV420P, 0);
    av_opt_set_int(sws, "dst_range", 0, 0);
    av_opt_set_int(sws, "sws_flags", SWS_BILINEAR, 0);
    if (sws_init_context(sws, nullptr, nullptr) < 0) {
        sws_freeContext(sws);
        return nullptr;
    }
    return sws;
}

} // namespace

Yuv420Converter::~Yuv420Converter() {
    sws_freeContext(sws_);
    av_freep(&buffer_);
}

bool Yuv420Converter::isDirect(const AVFrame& frame) {
    return frame.format == AV_PIX_FMT_YUV420P && frame.color_range != AVCOL_RANGE_JPEG &&
           frame.linesize[0] > 0 && frame.linesize[1] == (frame.linesize[0] + 1) / 2 &&
           frame.linesize[2] == frame.linesize[1];
}

Conversion Yuv420Converter::convert(const AVFrame& frame, Yuv420Planes* out) {
    if (frame.width <= 0 || frame.height <= 0 || !frame.data[0])
        return Conversion::Unsupported;
    if (isDirect(frame)) {
        *out = {frame.data[0],     frame.data[1], frame.data[2],
                frame.linesize[0], frame.width,   frame.height};
        return Conversion::Done;
    }
    // Each frame's own range: a context made for another range is made anew.
    const AVPixelFormat format = withoutFullRangeAlias(AVPixelFormat(frame.format));
    const Source source{frame.width, frame.height, format,
                        frame.color_range == AVCOL_RANGE_JPEG || format != frame.format};
    if (!sws_ || source != source_) {
        sws_freeContext(sws_);
        sws_ = makeContext(source.width, source.height, format, source.fullRange);
        source_ = source;
    }
    if (!sws_)
        return Conversion::Unsupported;

    const int stride = (frame.width + 63) / 64 * 64; // even, so the chroma stride is exactly half
    const int chromaStride = stride / 2;
    const int chromaRows = (frame.height + 1) / 2;
    const size_t lumaSize = size_t(stride) * frame.height;
    const size_t chromaSize = size_t(chromaStride) * chromaRows;
    av_fast_malloc(&buffer_, &bufferSize_, lumaSize + 2 * chromaSize);
    if (!buffer_)
        return Conversion::OutOfMemory;
    uint8_t* planes[4] = {buffer_, buffer_ + lumaSize, buffer_ + lumaSize + chromaSize, nullptr};
    int strides[4] = {stride, chromaStride, chromaStride, 0};
    if (sws_scale(sws_, frame.data, frame.linesize, 0, frame.height, planes, strides) <= 0)
        return Conversion::Unsupported;
    *out = {planes[0], planes[1], planes[2], stride, frame.width, frame.height};
    return Conversion::Done;
}
