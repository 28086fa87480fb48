#include "judge/picture_judges.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr int kArrivalTolerance = 40; // "is this the new picture", not "is it right"

bool isBlack(QRgb c, int tolerance) {
    return qRed(c) <= tolerance && qGreen(c) <= tolerance && qBlue(c) <= tolerance;
}

std::string pixelText(QRgb c, int x, int y) {
    return rgbText(c) + " at (" + std::to_string(x) + "," + std::to_string(y) + ")";
}

struct EdgeScan {
    double worst = 0;
    std::string where;
    bool missing = false;
};

// Scans one row (horizontal) or column for the first and last pixel that looks more like the
// picture than like black, and compares the two boundaries with the expected edges.
void scanLine(const QImage& shot, bool horizontal, int at, double expectedFrom, double expectedTo,
              QRgb colour, EdgeScan* scan) {
    const int length = horizontal ? shot.width() : shot.height();
    int first = -1, last = -1;
    for (int i = 0; i < length; ++i) {
        const QRgb c = horizontal ? shot.pixel(i, at) : shot.pixel(at, i);
        // Blended edge pixels count with the side they are nearer; other colours (the host
        // showing through) with neither.
        const int toPicture = channelDistance(c, colour);
        if (toPicture < channelDistance(c, qRgb(0, 0, 0)) && toPicture < 128) {
            if (first < 0)
                first = i;
            last = i;
        }
    }
    const char* axis = horizontal ? "row" : "column";
    if (first < 0) {
        scan->missing = true;
        scan->where = std::string("no picture on ") + axis + " " + std::to_string(at);
        return;
    }
    const double errors[2] = {std::abs(first - expectedFrom), std::abs(last + 1 - expectedTo)};
    for (int side = 0; side < 2; ++side)
        if (errors[side] > scan->worst) {
            scan->worst = errors[side];
            char text[128];
            std::snprintf(text, sizeof text, "%s edge at %d instead of %.1f on %s %d",
                          horizontal ? (side ? "right" : "left") : (side ? "bottom" : "top"),
                          side ? last + 1 : first, side ? expectedTo : expectedFrom, axis, at);
            scan->where = text;
        }
}

} // namespace

Verdict judgePlacement(const QImage& shot, const RectF& expected, QRgb pictureColour,
                       int quantisation, const std::string& label) {
    Verdict verdict;
    const std::string where = " (" + label + ")";
    EdgeScan scan;
    for (double f : {0.25, 0.5, 0.75}) {
        const int row = std::clamp(int(expected.top + expected.height() * f), 0, shot.height() - 1);
        const int column =
            std::clamp(int(expected.left + expected.width() * f), 0, shot.width() - 1);
        scanLine(shot, true, row, expected.left, expected.right, pictureColour, &scan);
        scanLine(shot, false, column, expected.top, expected.bottom, pictureColour, &scan);
    }
    const std::string want = "the picture at " + expected.toString() + where;
    if (scan.missing) {
        // Say what shows instead: a wrong colour reads differently from no picture at all.
        const int cx = std::clamp(int((expected.left + expected.right) / 2), 0, shot.width() - 1);
        const int cy = std::clamp(int((expected.top + expected.bottom) / 2), 0, shot.height() - 1);
        const QRgb centre = shot.pixel(cx, cy);
        if (isBlack(centre, 12))
            verdict.failBecause("no picture: the window is black where " + want + " belongs" +
                                " (" + scan.where + ")");
        else if (channelDistance(centre, pictureColour) <= kArrivalTolerance)
            verdict.fail(want + " within 1 pixel", scan.where); // there, but not all of it
        else
            verdict.failBecause("the picture shows " + rgbText(centre) + " at (" +
                                std::to_string(cx) + "," + std::to_string(cy) + "), not " +
                                rgbText(pictureColour) + " (" + want.substr(4) + ")");
        return verdict;
    }
    if (scan.worst > 2 + 1e-9)
        verdict.fail(want + " within 1 pixel", scan.where);
    else if (scan.worst > 1 + 1e-9)
        verdict.warn("picture edge 2 pixels off: " + scan.where + where);

    // Away from the edges: black outside, the picture's colour inside.
    const int blackTolerance = 12 + quantisation;
    int strayOutside = 0, strayInside = 0;
    std::string firstOutside, firstInside;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x) {
            const double cx = x + 0.5, cy = y + 0.5;
            const double outside = std::max(
                {expected.left - cx, cx - expected.right, expected.top - cy, cy - expected.bottom});
            const QRgb c = shot.pixel(x, y);
            if (outside > 2 && !isBlack(c, blackTolerance)) {
                if (strayOutside++ == 0)
                    firstOutside = pixelText(c, x, y);
            } else if (outside < -2 && channelDistance(c, pictureColour) > kArrivalTolerance) {
                if (strayInside++ == 0)
                    firstInside = pixelText(c, x, y);
            }
        }
    if (strayOutside)
        verdict.fail("black outside " + expected.toString() + where,
                     std::to_string(strayOutside) + " pixels that are not, the first " +
                         firstOutside);
    if (strayInside)
        verdict.fail(rgbText(pictureColour) + " inside " + expected.toString() + where,
                     std::to_string(strayInside) + " pixels that are not, the first " +
                         firstInside);
    return verdict;
}

bool centreShows(const QImage& shot, QRgb colour) {
    return !shot.isNull() && channelDistance(shot.pixel(shot.width() / 2, shot.height() / 2),
                                             colour) <= kArrivalTolerance;
}

QImage placementImage(int width, int height, const RectF& rect, QRgb colour) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    painter.fillRect(QRectF(rect.left, rect.top, rect.width(), rect.height()),
                     QColor::fromRgb(colour));
    return image;
}

QImage overlayExpected(const QImage& shot, const RectF& expected) {
    QImage image = shot.convertToFormat(QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setPen(QPen(QColor(255, 0, 0), 1, Qt::DashLine));
    painter.drawRect(
        QRectF(expected.left, expected.top, expected.width() - 1, expected.height() - 1));
    return image;
}

QImage differenceImage(const QImage& a, const QImage& b) {
    const int width = std::min(a.width(), b.width()), height = std::min(a.height(), b.height());
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            auto amplified = [](int d) { return std::min(255, 4 * std::abs(d)); };
            image.setPixel(x, y,
                           qRgb(amplified(qRed(p) - qRed(q)), amplified(qGreen(p) - qGreen(q)),
                                amplified(qBlue(p) - qBlue(q))));
        }
    return image;
}
