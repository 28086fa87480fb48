#pragma once

// Reference pictures made by the tester: known RGB colours converted to Y'CbCr with a stated
// matrix and range, laid out in planar 4:2:0 planes with chosen strides, and the rectangle each
// display mode should give, in floating point.

#include "olm_vout.h"

#include <QRgb>

#include <cstdint>
#include <string>
#include <vector>

struct ColourMatrix {
    int code; // OLM_VOUT_MATRIX_*
    const char* name;
    double kr, kb;
};
// BT.601, BT.709, BT.2020 and SMPTE 240M, in the order of their codes.
extern const ColourMatrix kMatrices[4];

struct Yuv {
    uint8_t y, u, v;
};

// What an encoder makes of an RGB colour under a matrix and range (OLM_VOUT_RANGE_*).
Yuv encode(QRgb colour, const ColourMatrix& matrix, int range);
// The RGB colour a correct decoder shows for Y'CbCr samples, rounded and clamped to 0..255.
QRgb decode(Yuv sample, const ColourMatrix& matrix, int range);
// A grey of the given level, the same under every matrix (U and V at 128).
Yuv grey(uint8_t level);

// The loud values every plane's row padding holds: a bright green if it ever shows.
inline constexpr Yuv kPaddingLoud{250, 16, 16};

// A planar YUV 4:2:0 picture: Y of height rows, U and V of (height + 1) / 2 rows, each row
// padded to its stride with kPaddingLoud.
class YuvPicture {
public:
    // Zero strides mean "no padding": width, and (width + 1) / 2 for the chroma planes.
    YuvPicture(int width, int height, int strideY = 0, int strideU = 0, int strideV = 0);

    int width() const { return width_; }
    int height() const { return height_; }
    const uint8_t* plane(int index) const { return planes_[index].data(); }
    uint8_t* plane(int index) { return planes_[index].data(); }
    int stride(int index) const { return strides_[index]; }
    size_t planeBytes(int index) const { return planes_[index].size(); }

    // Paints the luma rectangle and the chroma samples of every 2x2 block it touches.
    void fillRect(int x, int y, int width, int height, Yuv colour);
    void fill(Yuv colour) { fillRect(0, 0, width_, height_, colour); }
    // Overwrites every byte of every plane (picture and padding) with one value.
    void scribble(uint8_t value);

    // A record for olm_vout_put_picture with these planes; release null.
    olm_vout_picture record(int matrix = OLM_VOUT_MATRIX_BT601,
                            int range = OLM_VOUT_RANGE_LIMITED) const;

private:
    int width_, height_;
    int strides_[3];
    std::vector<uint8_t> planes_[3];
};

// A rectangle in window coordinates, in floating point: the edges a display mode asks for.
struct RectF {
    double left = 0, top = 0, right = 0, bottom = 0;
    double width() const { return right - left; }
    double height() const { return bottom - top; }
    std::string toString() const;
};

// Where a picture of pictureWidth x pictureHeight samples, each sarNum:sarDen wide (0 in either:
// square), belongs in a window: VOUT_NORMAL at the picture's display aspect, VOUT_4_3 and
// VOUT_16_9 at theirs, as large as fits and centred; VOUT_PREFERRED the whole window.
RectF expectedPlacement(int mode, int pictureWidth, int pictureHeight, int sarNum, int sarDen,
                        int windowWidth, int windowHeight);
const char* modeName(int mode);

// A picture of one luma level whose chroma changes at column splitX and row splitY (both even,
// so on the edge of a chroma sample): U low left of splitX and high right of it, V low above
// splitY and high below. With an odd width (height) the last column's (row's) own chroma sample
// holds a third value, so a library that reads one chroma sample too few shows that column
// (row) wrong. BT.601, limited range.
struct ChromaCross {
    int width, height, splitX, splitY;
    static constexpr uint8_t kLuma = 126, kLow = 84, kHigh = 172, kLast = 212;
    Yuv sampleAt(int x, int y) const; // the Y, U and V a decoder should use at (x, y)
};
YuvPicture chromaCrossPicture(const ChromaCross& cross);

// Detail to tell a picture shown sharp from one blurred: the left half a checkerboard of single
// black and white pixels (limited range), the right half a flat grey of the given level.
YuvPicture detailPicture(int width, int height, uint8_t grey);

// Where the centre of quarter q (0 top left, 1 top right, 2 bottom left, 3 bottom right) of a
// picture lands in rect once the picture is turned clockwise by rotation degrees.
void turnedQuarterCentre(int q, int rotation, const RectF& rect, double* x, double* y);
