// Plays the default file in a lumivarex program as a user would, and says it plays only once that
// is seen: starts the program, clicks create_window and play, waits until the program says
// "open stream success!" and the pictures on its video surface change, optionally saves a
// screenshot, then stops, closes the window and checks that the program exits cleanly.
//
//     play_check [--screenshot FILE] [--workdir DIR] PROGRAM [ARGUMENTS...]
//
// Needs DISPLAY (an X server the program can use). Prints one line; exit code 0 when all held.

#include "program_driver.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QtTest>

#include <cstdio>

namespace {

int fail(QProcess& program, const QString& why) {
    std::fprintf(stderr, "play check failed: %s\n", qPrintable(why));
    if (program.state() != QProcess::NotRunning) {
        program.kill();
        program.waitForFinished();
    }
    return 1;
}

bool saveScreenshot(uint32_t window, const QString& file) {
    const Snapshot s = grabWindow(window);
    QImage image(s.width, s.height, QImage::Format_RGB32);
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x)
            image.setPixel(x, y, qRgb(s.at(x, y).r, s.at(x, y).g, s.at(x, y).b));
    return s.width > 0 && image.save(file);
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "xcb");
    // The windows built here only to find where the controls sit log as the program's do; only
    // this check's own line is of interest.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString screenshot, workdir;
    while (args.size() > 1 && args.first().startsWith("--")) {
        const QString option = args.takeFirst();
        (option == "--screenshot" ? screenshot : workdir) = args.takeFirst();
    }
    if (args.isEmpty() || qgetenv("DISPLAY").isEmpty()) {
        std::fprintf(stderr, "usage: DISPLAY=... play_check [--screenshot FILE] [--workdir DIR] "
                             "PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    const QString program = QFileInfo(args.takeFirst()).absoluteFilePath();

    QProcess process;
    process.setWorkingDirectory(workdir.isEmpty() ? QFileInfo(program).path() : workdir);
    process.start(program, args);
    if (!process.waitForStarted())
        return fail(process, program + " did not start");
    const uint32_t window = waitForProgramWindow(process);
    if (!window)
        return fail(process, "the window did not appear");
    if (!QTest::qWaitFor([&] { return grabWindow(window).width > 0; }, 10000))
        return fail(process, "the window was not shown");

    if (!clickAt(window, buttonCentre("create_window_btn")) ||
        !clickAt(window, buttonCentre("play_btn")))
        return fail(process, "could not click create_window and play");
    QString out;
    (void)QTest::qWaitFor( // what was seen is told apart below
        [&] {
            out += QString::fromLocal8Bit(process.readAllStandardOutput());
            return out.contains("open stream success!") ||
                   !findTopLevelWindows("Info", process.processId()).empty();
        },
        20000);
    if (!findTopLevelWindows("Info", process.processId()).empty())
        return fail(process, "play showed the box \"Info\" (\"Cannot find file\") for the "
                             "default name, from " +
                                 process.workingDirectory());
    if (!out.contains("open stream success!"))
        return fail(process, "no \"open stream success!\" within 20 s; standard error: " +
                                 QString::fromLocal8Bit(process.readAllStandardError()).right(800));

    // Playing: the surface changes, and changes again.
    const QRect video = videoArea();
    for (int change = 0; change < 2; ++change) {
        const std::vector<Rgb> before = sampleArea(window, video);
        if (!QTest::qWaitFor([&] { return sampleArea(window, video) != before; }, 10000))
            return fail(process, "the pictures on the video surface do not change");
    }
    if (!screenshot.isEmpty() && !saveScreenshot(window, screenshot))
        return fail(process, "could not save " + screenshot);

    clickAt(window, buttonCentre("stop_btn"));
    sendDeleteWindow(window);
    QString why;
    if (!cleanExit(process, &why))
        return fail(process, "after closing the window: " + why);
    std::printf("playing: %s showed the default file with changing pictures, then closed "
                "cleanly\n",
                qPrintable(QDir::cleanPath(program)));
    return 0;
}
