#include "wayland_screen.h"

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

Snapshot grabWaylandScreen() {
    Snapshot snap;
    // weston-screenshooter saves wayland-screenshot-<time>.png in its working directory.
    QTemporaryDir dir;
    QProcess shooter;
    shooter.setWorkingDirectory(dir.path());
    shooter.start(QStringLiteral("weston-screenshooter"), QStringList());
    if (!shooter.waitForFinished(5000) || shooter.exitStatus() != QProcess::NormalExit)
        return snap;
    const QStringList files = QDir(dir.path()).entryList({QStringLiteral("*.png")}, QDir::Files);
    if (files.isEmpty())
        return snap;
    const QImage image = QImage(dir.filePath(files.first())).convertToFormat(QImage::Format_RGB32);
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
