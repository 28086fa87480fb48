#include "judge/picture_judges.h"

#include <QPainter>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

namespace {

constexpr int kArrivalTolerance = 40; // "is this the new picture", not "is it right"

bool isBlack(QRgb c, int tolerance) {
    return qRed(c) <= tolerance && qGreen(c) <= tolerance && qBlue(c) <= tolerance;
}

} // namespace

QRect PatchSheet::patch(int index) const {
    return {(index % columns) * size, (index / columns) * size, size, size};
}

PatchSheet standardSheet() {
    PatchSheet sheet;
    sheet.colours = {qRgb(220, 40, 40),  qRgb(40, 200, 60),  qRgb(50, 70, 220), qRgb(230, 200, 40),
                     qRgb(40, 200, 210), qRgb(200, 60, 190), qRgb(180, 120, 80)};
    return sheet;
}

YuvPicture sheetPicture(const PatchSheet& sheet, const ColourMatrix& matrix, int range,
                        uint8_t markerLevel, std::vector<QRgb>* expected, int strideY, int strideU,
                        int strideV) {
    YuvPicture picture(sheet.width(), sheet.height(), strideY, strideU, strideV);
    expected->clear();
    for (int i = 0; i <= sheet.markerIndex(); ++i) {
        const bool marker = i == sheet.markerIndex();
        const Yuv sample =
            marker ? grey(markerLevel) : encode(sheet.colours[size_t(i)], matrix, range);
        const QRect r = sheet.patch(i);
        picture.fillRect(r.x(), r.y(), r.width(), r.height(), sample);
        expected->push_back(decode(sample, matrix, range));
    }
    return picture;
}

RectF patchOnScreen(const PatchSheet& sheet, int index, const RectF* where) {
    const QRect p = sheet.patch(index);
    const double sx = where ? where->width() / sheet.width() : 1;
    const double sy = where ? where->height() / sheet.height() : 1;
    const double left = where ? where->left : 0, top = where ? where->top : 0;
    return {left + p.x() * sx, top + p.y() * sy, left + (p.x() + p.width()) * sx,
            top + (p.y() + p.height()) * sy};
}

QRgb patchMean(const QImage& shot, const RectF& patch) {
    const double marginX = std::max(3.0, patch.width() / 4),
                 marginY = std::max(3.0, patch.height() / 4);
    double sum[3] = {0, 0, 0};
    int count = 0;
    for (int y = int(std::ceil(patch.top + marginY));
         y < int(patch.bottom - marginY) && y < shot.height(); ++y)
        for (int x = int(std::ceil(patch.left + marginX));
             x < int(patch.right - marginX) && x < shot.width(); ++x) {
            if (x < 0 || y < 0)
                continue;
            const QRgb c = shot.pixel(x, y);
            sum[0] += qRed(c);
            sum[1] += qGreen(c);
            sum[2] += qBlue(c);
            ++count;
        }
    if (count == 0)
        return qRgb(0, 0, 0);
    return qRgb(int(std::lround(sum[0] / count)), int(std::lround(sum[1] / count)),
                int(std::lround(sum[2] / count)));
}

bool markerShows(const QImage& shot, const PatchSheet& sheet, QRgb expectedMarker,
                 const RectF* where) {
    const RectF marker = patchOnScreen(sheet, sheet.markerIndex(), where);
    return shot.width() >= int(marker.right) && shot.height() >= int(marker.bottom) &&
           channelDistance(patchMean(shot, marker), expectedMarker) <= kArrivalTolerance / 2;
}

Verdict judgePatches(const QImage& shot, const PatchSheet& sheet, const std::vector<QRgb>& expected,
                     ColourLimits limits, const std::string& label, const RectF* where) {
    Verdict verdict;
    int worst = -1, worstIndex = 0;
    QRgb worstSeen = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        const QRgb seen = patchMean(shot, patchOnScreen(sheet, int(i), where));
        const int off = channelDistance(seen, expected[i]);
        if (off > worst) {
            worst = off;
            worstIndex = int(i);
            worstSeen = seen;
        }
    }
    const bool marker = worstIndex == sheet.markerIndex();
    const std::string what = (marker ? std::string("the grey marker patch")
                                     : "patch " + std::to_string(worstIndex + 1)) +
                             " (" + label + ")";
    const std::string found = what + " shows " + rgbText(worstSeen) + " for " +
                              rgbText(expected[size_t(worstIndex)]) + ": off by " +
                              std::to_string(worst) + " levels";
    if (worst > limits.warn)
        verdict.failBecause("colour of " + found + " (at most " + std::to_string(limits.pass) +
                            " allowed)");
    else if (worst > limits.pass)
        verdict.warn("colour of " + found);
    return verdict;
}

QRgb boxMean(const QImage& shot, int cx, int cy, int radius) {
    const int left = std::max(0, cx - radius), right = std::min(shot.width() - 1, cx + radius);
    const int top = std::max(0, cy - radius), bottom = std::min(shot.height() - 1, cy + radius);
    return patchMean(
        shot, RectF{double(left) - 3, double(top) - 3, double(right) + 4, double(bottom) + 4});
}

double blueDifference(QRgb c) {
    return -0.168736 * qRed(c) - 0.331264 * qGreen(c) + 0.5 * qBlue(c);
}

double redDifference(QRgb c) {
    return 0.5 * qRed(c) - 0.418688 * qGreen(c) - 0.081312 * qBlue(c);
}

double crossing(const QImage& shot, bool horizontal, int at, int from, int to,
                double (*measure)(QRgb), double minimumStep) {
    auto value = [&](int i) { return measure(horizontal ? shot.pixel(i, at) : shot.pixel(at, i)); };
    const double start = value(from), end = value(to - 1);
    if (std::abs(end - start) < minimumStep)
        return std::nan("");
    const double half = (start + end) / 2;
    for (int i = from + 1; i < to; ++i) {
        const double a = value(i - 1), b = value(i);
        if ((a - half) * (b - half) <= 0 && a != b)
            return i - 0.5 + (half - a) / (b - a); // pixel i - 1's centre is at i - 0.5
    }
    return std::nan("");
}

double detailContrast(const QImage& shot, const QRect& region) {
    const QRect r = region.intersected(shot.rect().adjusted(0, 0, -1, -1));
    double across = 0, down = 0;
    int count = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) {
            const int here = qGray(shot.pixel(x, y));
            across += std::abs(here - qGray(shot.pixel(x + 1, y)));
            down += std::abs(here - qGray(shot.pixel(x, y + 1)));
            ++count;
        }
    return count ? std::min(across, down) / count : 0;
}

QImage sheetImage(const PatchSheet& sheet, const std::vector<QRgb>& colours, QSize window,
                  const RectF* where) {
    QImage image(window.isEmpty() ? QSize(sheet.width(), sheet.height()) : window,
                 QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    for (size_t i = 0; i < colours.size(); ++i) {
        const RectF r = patchOnScreen(sheet, int(i), where);
        painter.fillRect(QRectF(r.left, r.top, r.width(), r.height()), QColor::fromRgb(colours[i]));
    }
    return image;
}

Verdict judgeFlat(const QImage& shot, QRgb colour, ColourLimits limits, const std::string& label) {
    Verdict verdict;
    int worst = -1, wx = 0, wy = 0;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x)
            if (const int off = channelDistance(shot.pixel(x, y), colour); off > worst) {
                worst = off;
                wx = x;
                wy = y;
            }
    if (worst <= limits.pass)
        return verdict;
    const std::string where = wy == shot.height() - 1  ? "the last row"
                              : wx == shot.width() - 1 ? "the last column"
                              : wy == 0                ? "the first row"
                              : wx == 0                ? "the first column"
                                                       : "the picture";
    const std::string found = "colour of " + where + " off by " + std::to_string(worst) +
                              " levels: " + rgbText(shot.pixel(wx, wy)) + " for " +
                              rgbText(colour) + " at (" + std::to_string(wx) + "," +
                              std::to_string(wy) + ") (" + label + ")";
    if (worst > limits.warn)
        verdict.failBecause(found);
    else
        verdict.warn(found);
    return verdict;
}

namespace {

// The worst colour along one column (vertical) or row of the shot against what the cross says.
struct WorstPixel {
    int off = -1, x = 0, y = 0;
    QRgb seen = 0, want = 0;
};

// How far seen is from every colour an upsampler may show where the last line's own chroma
// sample meets its neighbour's: the own one with up to half of the neighbour's mixed in. Where
// chroma samples sit and how they are interpolated are the library's choice (centre-sited
// bilinear mixes in a quarter); a line that shows its neighbour's sample is still far off.
int offFromUpsampled(QRgb seen, Yuv own, Yuv neighbour, QRgb* closest) {
    int best = INT_MAX;
    for (int eighths = 0; eighths <= 4; ++eighths) {
        auto mix = [&](uint8_t a, uint8_t b) {
            return uint8_t((a * (8 - eighths) + b * eighths + 4) / 8);
        };
        const QRgb want =
            decode(Yuv{mix(own.y, neighbour.y), mix(own.u, neighbour.u), mix(own.v, neighbour.v)},
                   kMatrices[0], OLM_VOUT_RANGE_LIMITED);
        if (const int off = channelDistance(seen, want); off < best) {
            best = off;
            *closest = want;
        }
    }
    return best;
}

void lastLineOff(const QImage& shot, const ChromaCross& cross, const RectF& where, bool column,
                 WorstPixel* worst) {
    const int length = column ? cross.height : cross.width;
    const int split = column ? cross.splitY : cross.splitX;
    for (int i = 1; i + 2 < length; ++i) {
        if (std::abs(i - split) < 2)
            continue; // the other chroma edge
        const int px = column ? cross.width - 1 : i, py = column ? i : cross.height - 1;
        const Yuv own = cross.sampleAt(px, py);
        const Yuv neighbour = column ? cross.sampleAt(px - 2, py) : cross.sampleAt(px, py - 2);
        const QRgb seen = shot.pixel(int(where.left) + px, int(where.top) + py);
        QRgb want = 0;
        if (const int off = offFromUpsampled(seen, own, neighbour, &want); off > worst->off)
            *worst = {off, px, py, seen, want};
    }
}

} // namespace

Verdict judgeChromaCross(const QImage& shot, const ChromaCross& cross, const RectF& where,
                         double tolerance, ColourLimits limits, const std::string& label) {
    Verdict verdict;
    const double sx = where.width() / cross.width, sy = where.height() / cross.height;
    const double step = 0.5 * (ChromaCross::kHigh - ChromaCross::kLow) * 255 / 224;
    // Two rows (above and below the V edge) and two columns (left and right of the U edge),
    // each scanned short of the last column or row and its own colour.
    for (bool horizontal : {true, false}) {
        const int split = horizontal ? cross.splitY : cross.splitX;
        const int length = horizontal ? cross.height : cross.width;
        const int along = horizontal ? cross.width : cross.height;
        const double scale = horizontal ? sx : sy, across = horizontal ? sy : sx;
        const double origin = horizontal ? where.left : where.top;
        const double acrossOrigin = horizontal ? where.top : where.left;
        const double want = origin + (horizontal ? cross.splitX : cross.splitY) * scale;
        for (double middle : {split / 2.0, split + (length - split) / 2.0}) {
            const int at = int(acrossOrigin + middle * across);
            const int from = int(origin + 1), to = int(origin + (along - 1) * scale - 1);
            const double found = crossing(shot, horizontal, at, from, to,
                                          horizontal ? blueDifference : redDifference, step);
            const std::string line = std::string(horizontal ? "row " : "column ") +
                                     std::to_string(at) + " (" + label + ")";
            const char* plane = horizontal ? "U" : "V";
            if (std::isnan(found)) {
                verdict.failBecause(std::string(plane) + " does not change along " + line);
                return verdict;
            }
            if (std::abs(found - want) > tolerance) {
                char text[200];
                std::snprintf(text, sizeof text,
                              "%s changes at %.1f instead of %.1f along %s: chroma %s %.1f "
                              "pixels off (at most %.1f allowed)",
                              plane, found, want, line.c_str(), horizontal ? "columns" : "rows",
                              found - want, tolerance);
                verdict.failBecause(text);
                return verdict;
            }
        }
    }
    if (std::abs(sx - 1) > 1e-9 || std::abs(sy - 1) > 1e-9)
        return verdict;
    for (bool column : {true, false}) {
        if ((column ? cross.width : cross.height) % 2 == 0)
            continue;
        WorstPixel worst;
        lastLineOff(shot, cross, where, column, &worst);
        const std::string found = std::string("colour of the last ") + (column ? "column" : "row") +
                                  " off by " + std::to_string(worst.off) +
                                  " levels: " + rgbText(worst.seen) + " for " +
                                  rgbText(worst.want) + " at (" + std::to_string(worst.x) + "," +
                                  std::to_string(worst.y) + ") (" + label + ")";
        if (worst.off > limits.warn)
            verdict.failBecause(found);
        else if (worst.off > limits.pass)
            verdict.warn(found);
    }
    return verdict;
}

Verdict judgeQuarters(const QImage& shot, const RectF& rect, int rotation, const QRgb colours[4],
                      ColourLimits limits, const std::string& label) {
    Verdict verdict;
    static const char* const kNames[4] = {"top left", "top right", "bottom left", "bottom right"};
    for (int q = 0; q < 4; ++q) {
        double x = 0, y = 0;
        turnedQuarterCentre(q, rotation, rect, &x, &y);
        const QRgb seen = boxMean(shot, int(x), int(y), 3);
        const int off = channelDistance(seen, colours[q]);
        const std::string found = std::string("the picture's ") + kNames[q] + " quarter shows " +
                                  rgbText(seen) + " at (" + std::to_string(int(x)) + "," +
                                  std::to_string(int(y)) + ") for " + rgbText(colours[q]) +
                                  ": off by " + std::to_string(off) + " levels (" + label + ")";
        if (off > limits.warn)
            verdict.failBecause(found);
        else if (off > limits.pass)
            verdict.warn(found);
    }
    // The extent: 3 pixels inside each side is picture, 3 outside (within the window) black.
    const double cx = (rect.left + rect.right) / 2, cy = (rect.top + rect.bottom) / 2;
    const struct {
        const char* side;
        double x, y, dx, dy;
    } sides[] = {{"left", rect.left, cy, -1, 0},
                 {"right", rect.right, cy, 1, 0},
                 {"top", cx, rect.top, 0, -1},
                 {"bottom", cx, rect.bottom, 0, 1}};
    for (const auto& s : sides) {
        const int ix = int(s.x - 3 * s.dx - (s.dx > 0)), iy = int(s.y - 3 * s.dy - (s.dy > 0));
        const int ox = int(s.x + 3 * s.dx - (s.dx > 0)), oy = int(s.y + 3 * s.dy - (s.dy > 0));
        const bool insideShown = ix >= 0 && iy >= 0 && ix < shot.width() && iy < shot.height();
        if (insideShown && isBlack(shot.pixel(ix, iy), 12)) {
            verdict.failBecause(std::string("the picture does not reach its ") + s.side +
                                " side at " + rect.toString() + ": black at (" +
                                std::to_string(ix) + "," + std::to_string(iy) + ") (" + label +
                                ")");
            break;
        }
        if (ox >= 0 && oy >= 0 && ox < shot.width() && oy < shot.height() &&
            !isBlack(shot.pixel(ox, oy), 12 + limits.pass - 4)) {
            verdict.failBecause(std::string("the picture reaches past its ") + s.side +
                                " side at " + rect.toString() + ": " + rgbText(shot.pixel(ox, oy)) +
                                " at (" + std::to_string(ox) + "," + std::to_string(oy) + ") (" +
                                label + ")");
            break;
        }
    }
    return verdict;
}

std::string rgbText(QRgb c) {
    return "rgb(" + std::to_string(qRed(c)) + "," + std::to_string(qGreen(c)) + "," +
           std::to_string(qBlue(c)) + ")";
}

int channelDistance(QRgb a, QRgb b) {
    return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                     std::abs(qBlue(a) - qBlue(b))});
}
