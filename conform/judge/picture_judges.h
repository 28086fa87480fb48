#pragma once

// How observed screens are judged against reference pictures: flat colour patches and the
// placement of a picture in its window. Pure functions of images, so they read the same in
// every check.

#include "judge/reference.h"
#include "judge/verdict.h"

#include <QImage>
#include <QRect>

#include <vector>

// Colour levels: pass within 4 per channel, warn at 5 to 7, fail from 8, each widened by what
// the screen's channels cannot represent (XConnection::quantisation).
struct ColourLimits {
    int pass = 4, warn = 7;
    static ColourLimits forScreen(int quantisation) { return {4 + quantisation, 7 + quantisation}; }
};

// A grid of flat square patches; the last patch is a grey marker whose level tells one picture
// from the next, whatever the matrix does to the other colours.
struct PatchSheet {
    int columns = 4, rows = 2, size = 48; // size even, so that chroma stays flat in each patch
    std::vector<QRgb> colours;            // RGB of each patch but the marker
    int width() const { return columns * size; }
    int height() const { return rows * size; }
    QRect patch(int index) const;
    int markerIndex() const { return static_cast<int>(colours.size()); }
};

// The colours every colour check shows: saturated and mixed, so that a wrong matrix, range or
// swapped chroma moves at least some of them far.
PatchSheet standardSheet();

// The sheet as a picture under a matrix and range, with the marker at markerLevel; strides as
// for YuvPicture. expected receives the colour a correct decoder shows in each patch.
YuvPicture sheetPicture(const PatchSheet& sheet, const ColourMatrix& matrix, int range,
                        uint8_t markerLevel, std::vector<QRgb>* expected, int strideY = 0,
                        int strideU = 0, int strideV = 0);

// Where patch index of the sheet lands on screen when the sheet is shown over `where` (null: at
// its own size at the window's origin).
RectF patchOnScreen(const PatchSheet& sheet, int index, const RectF* where = nullptr);
// The mean colour of a patch on screen, sampled over its middle (a quarter of its size, at least
// 3 pixels, in from each edge), away from any blur of the scaler.
QRgb patchMean(const QImage& shot, const RectF& patch);
// Whether the marker patch shows (roughly) the expected grey: the picture has arrived.
bool markerShows(const QImage& shot, const PatchSheet& sheet, QRgb expectedMarker,
                 const RectF* where = nullptr);
Verdict judgePatches(const QImage& shot, const PatchSheet& sheet, const std::vector<QRgb>& expected,
                     ColourLimits limits, const std::string& label, const RectF* where = nullptr);
// The mean colour of a small square (side 2 * radius + 1) around a point, clipped to the shot.
QRgb boxMean(const QImage& shot, int x, int y, int radius);

// Chroma as a BT.601 decoder of the screen sees it: Cb and Cr of an RGB colour, in levels
// around 0. Used to find where chroma changes, whatever the picture's own matrix.
double blueDifference(QRgb colour);
double redDifference(QRgb colour);
// Along one row (horizontal) or column of shot, from `from` to `to` (exclusive), where
// measure() crosses halfway between its values at the two ends, to a fraction of a pixel;
// NaN when it changes by less than minimumStep or never crosses.
double crossing(const QImage& shot, bool horizontal, int at, int from, int to,
                double (*measure)(QRgb), double minimumStep);
// How much detail a region holds: the mean luma difference between neighbouring pixels, along
// rows or along columns, whichever is less. A checkerboard of single pixels shown sharp gives
// about its contrast; blurred, or with rows or columns doubled, about 0.
double detailContrast(const QImage& shot, const QRect& region);
// The sheet as a correct output shows it: at its own size, or over `where` in a black window of
// the given size.
QImage sheetImage(const PatchSheet& sheet, const std::vector<QRgb>& colours, QSize window = {},
                  const RectF* where = nullptr);

// A flat picture of one colour shown over the whole window: every pixel, edges, last row and
// last column included, must show that colour (a scaler keeps a flat picture flat).
Verdict judgeFlat(const QImage& shot, QRgb colour, ColourLimits limits, const std::string& label);

// The chroma cross (see ChromaCross) shown over `where`: U must change at splitX along rows and
// V at splitY along columns, within tolerance screen pixels; shown at its own size, the last
// column and row must show their own colour, or that colour with up to half of the neighbouring
// sample's mixed in (where chroma is sited and how it is upsampled is the library's choice).
Verdict judgeChromaCross(const QImage& shot, const ChromaCross& cross, const RectF& where,
                         double tolerance, ColourLimits limits, const std::string& label);

// A picture turned by rotation and shown over rect, whose quarters have the given colours: each
// quarter's centre must show its colour, and the picture must reach each side of rect (a point
// 3 pixels inside is not black) and no further (a point 3 pixels outside is black).
Verdict judgeQuarters(const QImage& shot, const RectF& rect, int rotation, const QRgb colours[4],
                      ColourLimits limits, const std::string& label);

// Placement: each edge of the picture within 1 pixel of the expected rectangle (warn at 2,
// fail beyond), and every pixel more than 2 pixels outside it black, every pixel more than 2
// pixels inside it the picture's colour.
Verdict judgePlacement(const QImage& shot, const RectF& expected, QRgb pictureColour,
                       int quantisation, const std::string& label);
// Whether the centre of the window shows (roughly) colour: the picture has arrived.
bool centreShows(const QImage& shot, QRgb colour);
// The screen a correct output shows: black with the picture's colour in the rectangle.
QImage placementImage(int width, int height, const RectF& rect, QRgb colour);
// The observed screen with the expected rectangle drawn over it, for the contact sheet.
QImage overlayExpected(const QImage& shot, const RectF& expected);
// Per-channel absolute differences, four times brighter.
QImage differenceImage(const QImage& a, const QImage& b);

std::string rgbText(QRgb colour);
int channelDistance(QRgb a, QRgb b); // the largest per-channel difference
