#pragma once

// How observed screens are judged against reference pictures: flat colour patches and the
// placement of a picture in its window. Pure functions of images, so they read the same in
// every check.

#include "checks.h"
#include "reference.h"

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

// The mean colour of a patch, sampled at least 8 pixels from its edges.
QRgb patchMean(const QImage& shot, const QRect& patch);
// Whether the marker patch shows (roughly) the expected grey: the picture has arrived.
bool markerShows(const QImage& shot, const PatchSheet& sheet, QRgb expectedMarker);
Verdict judgePatches(const QImage& shot, const PatchSheet& sheet, const std::vector<QRgb>& expected,
                     ColourLimits limits, const std::string& label);
QImage sheetImage(const PatchSheet& sheet, const std::vector<QRgb>& colours);

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
