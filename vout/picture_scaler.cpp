#include "picture_scaler.h"

#include "plane_ops.h"

extern "C" {
#include <libswscale/swscale.h>
}
#include <libyuv/convert_argb.h>
#include <libyuv/rotate.h>

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

// libyuv's constants for a matrix and range; with swapped, those for V and U swapped, which
// turn its BGR-ordered output into RGB order. Null where libyuv is not exact enough: its SIMD
// code caps the blue coefficient at 2.0, which limited-range BT.709 and BT.2020 (2.11 and 2.14)
// exceed, putting blues off by up to 13 and 16 levels; every other combination it has stays
// within 2 levels of the exact conversion. It has no SMPTE 240M at all.
const libyuv::YuvConstants* libyuvConstants(const PictureFormat& colour, bool swapped) {
    const bool full = colour.range == 1;
    switch (colour.matrix) {
    case 0:
        return swapped ? (full ? &libyuv::kYvuJPEGConstants : &libyuv::kYvuI601Constants)
                       : (full ? &libyuv::kYuvJPEGConstants : &libyuv::kYuvI601Constants);
    case 1:
        if (!full)
            return nullptr;
        return swapped ? &libyuv::kYvuF709Constants : &libyuv::kYuvF709Constants;
    case 2:
        if (!full)
            return nullptr;
        return swapped ? &libyuv::kYvuV2020Constants : &libyuv::kYuvV2020Constants;
    default:
        return nullptr;
    }
}

using LibyuvConversion = int (*)(const uint8_t*, int, const uint8_t*, int, const uint8_t*, int,
                                 uint8_t*, int, const libyuv::YuvConstants*, int, int);

// The libyuv conversion that writes format, and whether it wants U and V swapped; null when
// libyuv has none.
LibyuvConversion libyuvConversion(AVPixelFormat format, bool* swapped) {
    *swapped = format == AV_PIX_FMT_RGB0 || format == AV_PIX_FMT_RGB24;
    switch (format) {
    case AV_PIX_FMT_BGR0: // bytes B, G, R, X: libyuv's "ARGB"
    case AV_PIX_FMT_RGB0:
        return libyuv::I420ToARGBMatrix;
    case AV_PIX_FMT_BGR24: // bytes B, G, R: libyuv's "RGB24"
    case AV_PIX_FMT_RGB24:
        return libyuv::I420ToRGB24Matrix;
    default:
        return nullptr;
    }
}

} // namespace

void PictureScaler::Planes::resize(int w, int h) {
    if (w == width && h == height)
        return;
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    const int lumaStride = alignUp(w), chromaStride = alignUp(cw);
    // One spare luma row: libswscale's conversion of an odd height repeats the last row there.
    const size_t lumaSize = size_t(lumaStride) * (h + 1), chromaSize = size_t(chromaStride) * ch;
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

bool PictureScaler::toRgbWithSwscale(View yuv, const PictureFormat& colour, AVPixelFormat format,
                                     uint8_t* dst, int dstStride) {
    if (yuv.height & 1) {
        // libswscale's fast conversion wants an even row count. The chroma rows already cover
        // one more luma row, so only the luma plane gets its last row repeated: in the spare row
        // of our own planes, or in a copy of the caller's.
        const size_t rowBytes = size_t(yuv.width);
        const uint8_t* last = yuv.planes[0] + size_t(yuv.height - 1) * yuv.strides[0];
        if (yuv.spareRow) {
            std::memcpy(const_cast<uint8_t*>(last) + yuv.strides[0], last, rowBytes);
        } else {
            const size_t stride = size_t(alignUp(yuv.width));
            evenLuma_.resize(stride * size_t(yuv.height + 1));
            for (int row = 0; row < yuv.height; ++row)
                std::memcpy(evenLuma_.data() + row * stride,
                            yuv.planes[0] + size_t(row) * yuv.strides[0], rowBytes);
            std::memcpy(evenLuma_.data() + yuv.height * stride, last, rowBytes);
            yuv.planes[0] = evenLuma_.data();
            yuv.strides[0] = int(stride);
        }
        yuv.height += 1;
    }
    toRgb_ = sws_getCachedContext(toRgb_, yuv.width, yuv.height, AV_PIX_FMT_YUV420P, yuv.width,
                                  yuv.height, format, SWS_POINT, nullptr, nullptr, nullptr);
    if (!toRgb_)
        return false;
    useColour(colour);
    uint8_t* out[4] = {dst, nullptr, nullptr, nullptr};
    int outStrides[4] = {dstStride, 0, 0, 0};
    sws_scale(toRgb_, yuv.planes, yuv.strides, 0, yuv.height, out, outStrides);
    return true;
}

bool PictureScaler::toRgb(const View& yuv, const PictureFormat& colour, AVPixelFormat format,
                          uint8_t* dst, int dstStride) {
    bool swapped = false;
    const LibyuvConversion convert = libyuvConversion(format, &swapped);
    const libyuv::YuvConstants* constants = libyuvConstants(colour, swapped);
    if (!convert || !constants)
        return toRgbWithSwscale(yuv, colour, format, dst, dstStride);
    const int u = swapped ? 2 : 1, v = swapped ? 1 : 2;
    return convert(yuv.planes[0], yuv.strides[0], yuv.planes[u], yuv.strides[u], yuv.planes[v],
                   yuv.strides[v], dst, dstStride, constants, yuv.width, yuv.height) == 0;
}

bool PictureScaler::scale(const Picture& picture, AVPixelFormat format, int width, int height,
                          uint8_t* dst, int dstStride) {
    const int rotation = picture.format.rotation;
    const bool swapped = picture.format.sidesSwapped();
    // The target in the picture's own orientation, before it is turned.
    const int targetWidth = swapped ? height : width, targetHeight = swapped ? width : height;

    // The reduced version, when it still covers the target, saves reading the full picture; a
    // picture kept only reduced is shown from that at any size.
    const bool reducedCovers =
        picture.reduced.width >= targetWidth && picture.reduced.height >= targetHeight;
    const PlaneSet& source = reducedCovers || picture.onlyReduced() ? picture.reduced : picture;
    View yuv;
    yuv.width = source.width;
    yuv.height = source.height;
    for (int p = 0; p < 3; ++p) {
        yuv.planes[p] = source.planes[p];
        yuv.strides[p] = source.strides[p];
    }
    auto use = [&yuv](const Planes& planes) {
        yuv.width = planes.width;
        yuv.height = planes.height;
        yuv.spareRow = true;
        for (int p = 0; p < 3; ++p) {
            yuv.planes[p] = planes.planes[p];
            yuv.strides[p] = planes.strides[p];
        }
    };

    // Box-halve while the result still covers the target.
    for (int i = 0; (yuv.width + 1) / 2 >= targetWidth && (yuv.height + 1) / 2 >= targetHeight &&
                    yuv.width > 1 && yuv.height > 1;
         ++i) {
        Planes& out = halved_[i % 2];
        out.resize((yuv.width + 1) / 2, (yuv.height + 1) / 2);
        halvePlane(yuv.planes[0], yuv.strides[0], yuv.width, yuv.height, out.planes[0],
                   out.strides[0]);
        for (int p = 1; p < 3; ++p)
            halvePlane(yuv.planes[p], yuv.strides[p], (yuv.width + 1) / 2, (yuv.height + 1) / 2,
                       out.planes[p], out.strides[p]);
        use(out);
    }

    // Turned in YUV, on whichever is smaller: the picture so far or the target.
    auto turn = [&] {
        rotated_.resize(swapped ? yuv.height : yuv.width, swapped ? yuv.width : yuv.height);
        libyuv::I420Rotate(yuv.planes[0], yuv.strides[0], yuv.planes[1], yuv.strides[1],
                           yuv.planes[2], yuv.strides[2], rotated_.planes[0], rotated_.strides[0],
                           rotated_.planes[1], rotated_.strides[1], rotated_.planes[2],
                           rotated_.strides[2], yuv.width, yuv.height,
                           libyuv::RotationMode(rotation));
        use(rotated_);
    };
    const bool turnFirst =
        rotation != 0 && int64_t(yuv.width) * yuv.height < int64_t(width) * height;
    if (turnFirst)
        turn();
    const int scaledWidth = turnFirst || !rotation ? width : targetWidth;
    const int scaledHeight = turnFirst || !rotation ? height : targetHeight;
    if (yuv.width != scaledWidth || yuv.height != scaledHeight) {
        scaled_.resize(scaledWidth, scaledHeight);
        yuvScale_ = sws_getCachedContext(yuvScale_, yuv.width, yuv.height, AV_PIX_FMT_YUV420P,
                                         scaledWidth, scaledHeight, AV_PIX_FMT_YUV420P,
                                         SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!yuvScale_)
            return false;
        sws_scale(yuvScale_, yuv.planes, yuv.strides, 0, yuv.height, scaled_.planes,
                  scaled_.strides);
        use(scaled_);
    }
    if (rotation != 0 && !turnFirst)
        turn();
    return toRgb(yuv, picture.format, format, dst, dstStride);
}

} // namespace olm
