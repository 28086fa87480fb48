#include "wayland_screen.h"

#include "wayland_capture.h"

Snapshot grabWaylandScreen() {
    Snapshot snap;
    const QImage image = captureWaylandOutput();
    if (image.isNull())
        return snap;
    snap.width = image.width();
    snap.height = image.height();
    snap.pixels.resize(size_t(snap.width) * snap.height);
    for (int y = 0; y < snap.height; ++y) {
        const QRgb* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < snap.width; ++x)
            snap.pixels[size_t(y) * snap.width + x] = {qRed(row[x]), qGreen(row[x]), qBlue(row[x])};
    }
    return snap;
}
