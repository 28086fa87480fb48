#include "program_driver.h"

#include "lumivarexwindow.h"

#include <QPushButton>
#include <QtTest>

uint32_t waitForProgramWindow(const QProcess& process, int timeoutMs) {
    std::vector<uint32_t> windows;
    const bool found = QTest::qWaitFor(
        [&] {
            windows = findTopLevelWindows("LumivarexWindow", process.processId());
            return !windows.empty();
        },
        timeoutMs);
    return found ? windows.front() : 0;
}

QPoint buttonCentre(const char* name) {
    LumivarexWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return {};
    auto* button = window.findChild<QPushButton*>(name);
    return button ? button->mapTo(&window, button->rect().center()) : QPoint();
}

QRect videoArea() {
    LumivarexWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return {};
    auto* video = window.findChild<QWidget*>("video_widget");
    return QRect(video->mapTo(&window, QPoint(0, 0)), video->size());
}

bool clickAt(uint32_t window, const QPoint& at) {
    if (at.isNull())
        return false;
    QProcess xdotool;
    // Without a window manager it complains about the input focus; the click goes through.
    xdotool.setStandardErrorFile(QProcess::nullDevice());
    xdotool.start("xdotool", {"mousemove", "--window", QString::number(window),
                              QString::number(at.x()), QString::number(at.y()), "click", "1"});
    return xdotool.waitForFinished(10000) && xdotool.exitStatus() == QProcess::NormalExit &&
           xdotool.exitCode() == 0;
}

std::vector<Rgb> sampleArea(uint32_t window, const QRect& area) {
    const Snapshot s = grabWindow(window);
    std::vector<Rgb> pixels;
    for (int y = area.top() + 4; y < area.bottom() && y < s.height; y += 8)
        for (int x = area.left() + 4; x < area.right() && x < s.width; x += 8)
            pixels.push_back(s.at(x, y));
    return pixels;
}

bool waitForOutput(QProcess& process, const QString& text, int timeoutMs, QString* out) {
    QElapsedTimer timer;
    timer.start();
    while (!out->contains(text) && timer.elapsed() < timeoutMs) {
        process.waitForReadyRead(100);
        *out += QString::fromLocal8Bit(process.readAllStandardOutput());
    }
    return out->contains(text);
}

bool cleanExit(QProcess& process, QString* why, QString* standardError) {
    if (!process.waitForFinished(15000)) {
        *why = "did not exit";
        process.kill();
        process.waitForFinished();
        return false;
    }
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    if (standardError)
        *standardError = err;
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *why = QString("exit code %1: %2").arg(process.exitCode()).arg(err.right(2000));
        return false;
    }
    for (const char* bad : {"XCB error", "X Error", "ERROR: ", "runtime error"}) {
        if (err.contains(bad)) {
            *why = err.right(2000);
            return false;
        }
    }
    return true;
}
