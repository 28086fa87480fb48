#include "picture_scaler.h"

#include "plane_ops.h"

extern "C" {
#include <libswscale/swscale.h>
}

#include <cstdio>
#include <cstring>

namespace olm {

namespace {

int alignUp(int n) {
    return (n + 63) / 64 * 64;
}

int swsColourspace(int matrix) {
    switch (matrix) {
    case 1:
        return SWS_CS_ITU709;
    case 2:
        return SWS_CS_BT2020;
    case 3:
        return SWS_CS_SMPTE240M;
    default:
        return SWS_CS_ITU601;
    }
}

} // namespace

void PictureScaler::Planes::resize(int w, int h) {
    if (w == width && h == height)
        return;
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    const int lumaStride = alignUp(w), chromaStride = alignUp(cw);
    const size_t lumaSize = size_t(lumaStride) * h, chromaSize = size_t(chromaStride) * ch;
    data.resize(lumaSize + 2 * chromaSize + 64); // may throw: nothing is changed then
    width = w;
    height = h;
    strides[0] = lumaStride;
    strides[1] = strides[2] = chromaStride;
    planes[0] = data.data();
    planes[1] = planes[0] + lumaSize;
    planes[2] = planes[1] + chromaSize;
}

PictureScaler::~PictureScaler() {
    sws_freeContext(yuvScale_);
    sws_freeContext(toRgb_);
}

void PictureScaler::useColour(const PictureFormat& format) {
    int* inverse = nullptr;
    int* table = nullptr;
    int srcRange = 0, dstRange = 0, brightness = 0, contrast = 0, saturation = 0;
    if (sws_getColorspaceDetails(toRgb_, &inverse, &srcRange, &table, &dstRange, &brightness,
                                 &contrast, &saturation) < 0)
        return;
    // Asked of the context itself, since a cached context may have been made anew.
    const int* wanted = sws_getCoefficients(swsColourspace(format.matrix));
    if (srcRange == format.range && std::memcmp(inverse, wanted, 4 * sizeof(int)) == 0)
        return;
    if (sws_setColorspaceDetails(toRgb_, wanted, format.range, table, dstRange, brightness,
                                 contrast, saturation) < 0 &&
        !colourWarned_) {
        // The picture is still shown, with the conversion's previous colours.
        std::fprintf(stderr, "olm_vout: cannot set the colour matrix %d, range %d\n", format.matrix,
                     format.range);
        colourWarned_ = true;
    }
}

bool PictureScaler::scale(const Picture& picture, AVPixelFormat format, int width, int height,
                          uint8_t* dst, int dstStride) {
    // The halved version, when it still covers the target, saves reading the full picture.
    const bool halfCovers = picture.half.width >= width && picture.half.height >= height;
    const PlaneSet& source = halfCovers ? picture.half : picture;
    const uint8_t* planes[3] = {source.planes[0], source.planes[1], source.planes[2]};
    int strides[3] = {source.strides[0], source.strides[1], source.strides[2]};
    int w = source.width, h = source.height;

    // Box-halve while the result still covers the target.
    for (int i = 0; (w + 1) / 2 >= width && (h + 1) / 2 >= height && w > 1 && h > 1; ++i) {
        Planes& out = halved_[i % 2];
        out.resize((w + 1) / 2, (h + 1) / 2);
        halvePlane(planes[0], strides[0], w, h, out.planes[0], out.strides[0]);
        for (int p = 1; p < 3; ++p)
            halvePlane(planes[p], strides[p], (w + 1) / 2, (h + 1) / 2, out.planes[p],
                       out.strides[p]);
        w = out.width;
        h = out.height;
        for (int p = 0; p < 3; ++p) {
            planes[p] = out.planes[p];
            strides[p] = out.strides[p];
        }
    }

    const int rows = rowsNeeded(height);
    if (w == width && h == height && h != rows) {
        // Shown at its own size with an odd row count: the chroma already covers one more luma
        // row, so only the luma plane needs its last row repeated.
        const size_t stride = size_t(alignUp(w));
        evenLuma_.resize(stride * rows);
        for (int row = 0; row < h; ++row)
            std::memcpy(evenLuma_.data() + row * stride, planes[0] + size_t(row) * strides[0],
                        size_t(w));
        std::memcpy(evenLuma_.data() + h * stride, planes[0] + size_t(h - 1) * strides[0],
                    size_t(w));
        planes[0] = evenLuma_.data();
        strides[0] = int(stride);
        h = rows;
    } else if (w != width || h != rows) {
        scaled_.resize(width, rows);
        yuvScale_ =
            sws_getCachedContext(yuvScale_, w, h, AV_PIX_FMT_YUV420P, width, rows,
                                 AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!yuvScale_)
            return false;
        sws_scale(yuvScale_, planes, strides, 0, h, scaled_.planes, scaled_.strides);
        for (int p = 0; p < 3; ++p) {
            planes[p] = scaled_.planes[p];
            strides[p] = scaled_.strides[p];
        }
        h = rows;
    }

    toRgb_ = sws_getCachedContext(toRgb_, width, h, AV_PIX_FMT_YUV420P, width, h, format, SWS_POINT,
                                  nullptr, nullptr, nullptr);
    if (!toRgb_)
        return false;
    useColour(picture.format);
    uint8_t* out[4] = {dst, nullptr, nullptr, nullptr};
    int outStrides[4] = {dstStride, 0, 0, 0};
    sws_scale(toRgb_, planes, strides, 0, h, out, outStrides);
    return true;
}

} // namespace olm
