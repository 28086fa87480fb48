#include "picture_handover.h"

#include "vout_extensions.h"

extern "C" {
#include <libavutil/pixdesc.h>
#include <libavutil/pixfmt.h>
}

int voutMatrixOf(const AVFrame& frame) {
    switch (frame.colorspace) {
    case AVCOL_SPC_BT709:
        return OLM_VOUT_MATRIX_BT709;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
    case AVCOL_SPC_FCC:
        return OLM_VOUT_MATRIX_BT601;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return OLM_VOUT_MATRIX_BT2020;
    case AVCOL_SPC_SMPTE240M:
        return OLM_VOUT_MATRIX_SMPTE240M;
    default:
        return frame.width > 1279 || frame.height > 576 ? OLM_VOUT_MATRIX_BT709
                                                        : OLM_VOUT_MATRIX_BT601;
    }
}

int voutRangeOf(const AVFrame& frame) {
    return frame.color_range == AVCOL_RANGE_JPEG || frame.format == AV_PIX_FMT_YUVJ420P
               ? OLM_VOUT_RANGE_FULL
               : OLM_VOUT_RANGE_LIMITED;
}

namespace {

void freeFrame(void* frame) {
    auto* f = static_cast<AVFrame*>(frame);
    av_frame_free(&f);
}

bool isPlanar420(const AVFrame& frame) {
    return (frame.format == AV_PIX_FMT_YUV420P || frame.format == AV_PIX_FMT_YUVJ420P) &&
           frame.linesize[0] > 0 && frame.linesize[1] > 0 && frame.linesize[2] > 0;
}

bool isYuv(const AVFrame& frame) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(AVPixelFormat(frame.format));
    return d && !(d->flags & AV_PIX_FMT_FLAG_RGB) && d->nb_components >= 3;
}

} // namespace

bool PictureHandover::put(olm_vout_t* vout, const AVFrame& frame, AVRational sampleAspect) {
    const auto putPicture = voutExtensions().putPicture;
    Yuv420Planes planes;
    if (!putPicture) {
        const Conversion converted = converter_.convert(frame, &planes);
        if (converted == Conversion::Done)
            olm_vout_put_buffer_pool_yuv(vout, planes.y, planes.u, planes.v, planes.stride,
                                         planes.width, planes.height);
        return converted != Conversion::OutOfMemory;
    }

    olm_vout_picture picture{};
    picture.struct_size = sizeof picture;
    picture.matrix = voutMatrixOf(frame);
    if (sampleAspect.num > 0 && sampleAspect.den > 0) {
        picture.sar_num = sampleAspect.num;
        picture.sar_den = sampleAspect.den;
    }
    if (isPlanar420(frame)) {
        AVFrame* reference = av_frame_clone(&frame);
        if (!reference)
            return false;
        picture.width = frame.width;
        picture.height = frame.height;
        for (int p = 0; p < 3; ++p) {
            picture.planes[p] = reference->data[p];
            picture.strides[p] = reference->linesize[p];
        }
        picture.range = voutRangeOf(frame);
        picture.release = freeFrame;
        picture.opaque = reference;
        if (putPicture(vout, &picture) != OLM_VOUT_OK)
            av_frame_free(&reference); // refused: still ours
        return true;
    }

    // Converted to limited-range 4:2:0; swscale keeps the matrix of YUV input and makes BT.601
    // from RGB.
    if (const Conversion converted = converter_.convert(frame, &planes);
        converted != Conversion::Done)
        return converted != Conversion::OutOfMemory;
    if (!isYuv(frame))
        picture.matrix = OLM_VOUT_MATRIX_BT601;
    picture.width = planes.width;
    picture.height = planes.height;
    picture.planes[0] = planes.y;
    picture.planes[1] = planes.u;
    picture.planes[2] = planes.v;
    picture.strides[0] = planes.stride;
    picture.strides[1] = picture.strides[2] = (planes.stride + 1) / 2;
    picture.range = OLM_VOUT_RANGE_LIMITED;
    putPicture(vout, &picture);
    return true;
}
