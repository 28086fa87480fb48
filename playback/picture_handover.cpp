#include "picture_handover.h"

#include "vout_extensions.h"

#include <utility>

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

int PictureHandover::putRecord(olm_vout_t* vout, olm_vout_picture& picture, bool* turnRefused) {
    const auto putPicture = voutExtensions().putPicture;
    *turnRefused = false;
    picture.struct_size = recordSize_;
    const int result = putPicture(vout, &picture);
    if (result != OLM_VOUT_E_INVALID || recordSize_ == OLM_VOUT_PICTURE_SIZE_1_0)
        return result;
    // Refused: perhaps by a library that knows only the first version of the record. Sent as
    // that, a turned picture would show unturned, so only a picture not turned is tried again.
    if (picture.rotation != 0) {
        *turnRefused = true;
        return result;
    }
    picture.struct_size = OLM_VOUT_PICTURE_SIZE_1_0;
    const int older = putPicture(vout, &picture);
    if (older != OLM_VOUT_E_INVALID)
        recordSize_ = OLM_VOUT_PICTURE_SIZE_1_0;
    return older;
}

bool PictureHandover::put(olm_vout_t* vout, const AVFrame& frame, const FrameDisplay& display) {
    const bool fiveFunctions = !voutExtensions().putPicture;
    const int rotation = display.rotation;
    // An output that cannot turn pictures gets them turned here.
    bool turnHere = rotation != 0 && (fiveFunctions || recordSize_ < OLM_VOUT_PICTURE_SIZE_1_1);

    olm_vout_picture picture{};
    picture.matrix = voutMatrixOf(frame);
    const AVRational sar = display.sampleAspect;
    if (sar.num > 0 && sar.den > 0) {
        picture.sar_num = sar.num;
        picture.sar_den = sar.den;
    }
    picture.rotation = rotation;
    bool turnRefused = false;
    if (!fiveFunctions && byReference_ && isPlanar420(frame) && !turnHere) {
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
        const int result = putRecord(vout, picture, &turnRefused);
        if (result != OLM_VOUT_OK)
            av_frame_free(&reference); // refused: still ours
        if (!turnRefused)
            return true;
        picture.release = nullptr;
        picture.opaque = nullptr;
        turnHere = true;
    }

    // Copied: planar 4:2:0 frames as they are, anything else converted to limited-range 4:2:0
    // (libswscale keeps the matrix of YUV input and makes BT.601 from RGB).
    PictureTurner::Planes planes;
    if (isPlanar420(frame) && !fiveFunctions) {
        planes.width = frame.width;
        planes.height = frame.height;
        for (int p = 0; p < 3; ++p) {
            planes.planes[p] = frame.data[p];
            planes.strides[p] = frame.linesize[p];
        }
        picture.range = voutRangeOf(frame);
    } else {
        Yuv420Planes converted;
        if (const Conversion result = converter_.convert(frame, &converted);
            result != Conversion::Done)
            return result != Conversion::OutOfMemory;
        const int chromaStride = (converted.stride + 1) / 2;
        planes = {{converted.y, converted.u, converted.v},
                  {converted.stride, chromaStride, chromaStride},
                  converted.width,
                  converted.height};
        picture.range = OLM_VOUT_RANGE_LIMITED;
        if (!isYuv(frame))
            picture.matrix = OLM_VOUT_MATRIX_BT601;
    }
    auto putCopy = [&] {
        picture.width = planes.width;
        picture.height = planes.height;
        for (int p = 0; p < 3; ++p) {
            picture.planes[p] = planes.planes[p];
            picture.strides[p] = planes.strides[p];
        }
        putRecord(vout, picture, &turnRefused);
    };
    if (!turnHere && !fiveFunctions) {
        putCopy();
        if (!turnRefused)
            return true;
    }
    if (rotation != 0) {
        if (!turner_.turn(planes, rotation, &planes))
            return false;
        // The sample aspect applies before the turn: a quarter turn swaps its terms.
        if (rotation != 180)
            std::swap(picture.sar_num, picture.sar_den);
        picture.rotation = 0;
    }
    if (fiveFunctions)
        olm_vout_put_buffer_pool_yuv(vout, planes.planes[0], planes.planes[1], planes.planes[2],
                                     planes.strides[0], planes.width, planes.height);
    else
        putCopy();
    return true;
}
