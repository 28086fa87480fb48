#include "judge/reference.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

const ColourMatrix kMatrices[4] = {{OLM_VOUT_MATRIX_BT601, "BT.601", 0.299, 0.114},
                                   {OLM_VOUT_MATRIX_BT709, "BT.709", 0.2126, 0.0722},
                                   {OLM_VOUT_MATRIX_BT2020, "BT.2020", 0.2627, 0.0593},
                                   {OLM_VOUT_MATRIX_SMPTE240M, "SMPTE 240M", 0.212, 0.087}};

namespace {

uint8_t level(double value) {
    return uint8_t(std::lround(std::clamp(value, 0.0, 255.0)));
}

} // namespace

Yuv encode(QRgb colour, const ColourMatrix& m, int range) {
    const double r = qRed(colour) / 255.0, g = qGreen(colour) / 255.0, b = qBlue(colour) / 255.0;
    const double y = m.kr * r + (1 - m.kr - m.kb) * g + m.kb * b;
    const double cb = (b - y) / (2 * (1 - m.kb)), cr = (r - y) / (2 * (1 - m.kr));
    if (range == OLM_VOUT_RANGE_FULL)
        return {level(255 * y), level(128 + 255 * cb), level(128 + 255 * cr)};
    return {level(16 + 219 * y), level(128 + 224 * cb), level(128 + 224 * cr)};
}

QRgb decode(Yuv s, const ColourMatrix& m, int range) {
    double y, cb, cr;
    if (range == OLM_VOUT_RANGE_FULL) {
        y = s.y / 255.0;
        cb = (s.u - 128) / 255.0;
        cr = (s.v - 128) / 255.0;
    } else {
        y = (s.y - 16) / 219.0;
        cb = (s.u - 128) / 224.0;
        cr = (s.v - 128) / 224.0;
    }
    const double r = y + 2 * (1 - m.kr) * cr, b = y + 2 * (1 - m.kb) * cb;
    const double g = (y - m.kr * r - m.kb * b) / (1 - m.kr - m.kb);
    return qRgb(level(255 * r), level(255 * g), level(255 * b));
}

Yuv grey(uint8_t value) {
    return {value, 128, 128};
}

YuvPicture::YuvPicture(int width, int height, int strideY, int strideU, int strideV)
    : width_(width), height_(height) {
    const int chromaWidth = (width + 1) / 2, chromaHeight = (height + 1) / 2;
    strides_[0] = strideY ? strideY : width;
    strides_[1] = strideU ? strideU : chromaWidth;
    strides_[2] = strideV ? strideV : chromaWidth;
    const uint8_t loud[3] = {kPaddingLoud.y, kPaddingLoud.u, kPaddingLoud.v};
    for (int p = 0; p < 3; ++p)
        planes_[p].assign(size_t(strides_[p]) * (p ? chromaHeight : height), loud[p]);
    fill(grey(16));
}

void YuvPicture::fillRect(int x, int y, int w, int h, Yuv c) {
    for (int row = y; row < y + h; ++row)
        std::fill_n(planes_[0].begin() + ptrdiff_t(row) * strides_[0] + x, w, c.y);
    const int cx0 = x / 2, cx1 = (x + w + 1) / 2, cy0 = y / 2, cy1 = (y + h + 1) / 2;
    for (int row = cy0; row < cy1; ++row) {
        std::fill_n(planes_[1].begin() + ptrdiff_t(row) * strides_[1] + cx0, cx1 - cx0, c.u);
        std::fill_n(planes_[2].begin() + ptrdiff_t(row) * strides_[2] + cx0, cx1 - cx0, c.v);
    }
}

void YuvPicture::scribble(uint8_t value) {
    for (auto& plane : planes_)
        std::fill(plane.begin(), plane.end(), value);
}

olm_vout_picture YuvPicture::record(int matrix, int range) const {
    olm_vout_picture r{};
    // The first version of the record, which every olm_vout with this function knows; checks of
    // what later versions add set their own size.
    r.struct_size = OLM_VOUT_PICTURE_SIZE_1_0;
    r.width = width_;
    r.height = height_;
    for (int p = 0; p < 3; ++p) {
        r.planes[p] = planes_[p].data();
        r.strides[p] = strides_[p];
    }
    r.matrix = matrix;
    r.range = range;
    return r;
}

std::string RectF::toString() const {
    char text[96];
    std::snprintf(text, sizeof text, "%.1fx%.1f at (%.1f,%.1f)", width(), height(), left, top);
    return text;
}

RectF expectedPlacement(int mode, int pictureWidth, int pictureHeight, int sarNum, int sarDen,
                        int windowWidth, int windowHeight) {
    double aspect;
    switch (mode) {
    case VOUT_NORMAL:
        aspect = double(pictureWidth) / pictureHeight;
        if (sarNum > 0 && sarDen > 0)
            aspect = aspect * sarNum / sarDen;
        break;
    case VOUT_4_3:
        aspect = 4.0 / 3.0;
        break;
    case VOUT_16_9:
        aspect = 16.0 / 9.0;
        break;
    default:
        return {0, 0, double(windowWidth), double(windowHeight)};
    }
    double width = windowWidth, height = windowHeight;
    if (width / height > aspect)
        width = height * aspect;
    else
        height = width / aspect;
    const double left = (windowWidth - width) / 2, top = (windowHeight - height) / 2;
    return {left, top, left + width, top + height};
}

const char* modeName(int mode) {
    switch (mode) {
    case VOUT_NORMAL:
        return "VOUT_NORMAL";
    case VOUT_4_3:
        return "VOUT_4_3";
    case VOUT_16_9:
        return "VOUT_16_9";
    case VOUT_PREFERRED:
        return "VOUT_PREFERRED";
    }
    return "unknown mode";
}

Yuv ChromaCross::sampleAt(int x, int y) const {
    const bool lastColumn = width % 2 == 1 && x == width - 1;
    const bool lastRow = height % 2 == 1 && y == height - 1;
    return {kLuma,
            lastColumn   ? kLast
            : x < splitX ? kLow
                         : kHigh,
            lastRow      ? kLast
            : y < splitY ? kLow
                         : kHigh};
}

YuvPicture chromaCrossPicture(const ChromaCross& cross) {
    YuvPicture picture(cross.width, cross.height);
    // Chroma sample by chroma sample: each is what sampleAt gives for its top left luma sample.
    for (int cy = 0; cy < (cross.height + 1) / 2; ++cy)
        for (int cx = 0; cx < (cross.width + 1) / 2; ++cx)
            picture.fillRect(2 * cx, 2 * cy, std::min(2, cross.width - 2 * cx),
                             std::min(2, cross.height - 2 * cy), cross.sampleAt(2 * cx, 2 * cy));
    return picture;
}

void turnedQuarterCentre(int q, int rotation, const RectF& rect, double* px, double* py) {
    // The quarter's centre in the picture, in 0..1, turned about the picture's centre.
    double x = q % 2 ? 0.75 : 0.25, y = q / 2 ? 0.75 : 0.25;
    for (int turns = rotation / 90; turns > 0; --turns) {
        const double turnedX = 1 - y, turnedY = x; // a quarter turn clockwise
        x = turnedX;
        y = turnedY;
    }
    *px = rect.left + x * rect.width();
    *py = rect.top + y * rect.height();
}

YuvPicture detailPicture(int width, int height, uint8_t grey) {
    YuvPicture picture(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width / 2; ++x)
            picture.fillRect(x, y, 1, 1, Yuv{uint8_t((x + y) % 2 ? 235 : 16), 128, 128});
    picture.fillRect(width / 2, 0, width - width / 2, height, Yuv{grey, 128, 128});
    return picture;
}
