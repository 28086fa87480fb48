// The real program: its library-path record, its exit when the window is closed, and the
// platform it chooses on a Wayland session.

#include "media.h"
#include "program_driver.h"
#include "wayland_screen.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <QProcess>
#include <QtTest>

#include <algorithm>
#include <cstdlib>

namespace {

// A copy of the program's surroundings: <dir>/bin holds the program and is the working
// directory, so the default name ../demovideo/123.avi finds <dir>/demovideo/123.avi; <dir>/lib
// may hold the olm_vout it runs on.
struct Stage {
    QTemporaryDir dir;
    QString bin() const { return dir.path() + "/bin"; }
    QString library() const { return dir.path() + "/lib/libolm_vout.so.1"; }
    // The demo, the program and, when one is given, a library standing in for olm_vout.
    bool prepare(const QString& libraryToUse = QString()) {
        QDir(dir.path()).mkpath("bin");
        QDir(dir.path()).mkpath("demovideo");
        const QString video = dir.path() + "/demovideo/123.avi";
        const QString command =
            QString("ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=s=320x240:r=25:d=20 "
                    "-f lavfi -i sine=d=20 -c:v mpeg4 -c:a mp2 '%1'")
                .arg(video);
        if (std::system(command.toLocal8Bit().constData()) != 0 ||
            !QFile::copy(QStringLiteral(LUMIVAREX_BINARY), bin() + "/lumivarex"))
            return false;
        QFile(bin() + "/lumivarex")
            .setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return libraryToUse.isEmpty() ||
               (QDir(dir.path()).mkpath("lib") && QFile::copy(libraryToUse, library()));
    }
    // Starts the staged program in workingDir, on the xcb platform, or on the platform it
    // chooses itself when qpaPlatform is empty; its window on the X server, or 0.
    uint32_t start(QProcess& process, const QString& workingDir, const QString& qpaPlatform = "xcb",
                   int timeoutMs = 10000) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (qpaPlatform.isEmpty())
            env.remove("QT_QPA_PLATFORM");
        else
            env.insert("QT_QPA_PLATFORM", qpaPlatform);
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(workingDir);
        process.start(bin() + "/lumivarex", QStringList());
        return process.waitForStarted() ? waitForProgramWindow(process, timeoutMs) : 0;
    }
};

// The line the program prints when the library cannot draw on Wayland.
const QString xwaylandNotice = "olm_vout takes no Wayland host: the window runs on XWayland";

bool onWaylandSession() {
    return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
           !qEnvironmentVariableIsEmpty("DISPLAY");
}

QByteArray mapsOf(const QProcess& process) {
    QFile maps(QString("/proc/%1/maps").arg(process.processId()));
    return maps.open(QIODevice::ReadOnly) ? maps.readAll() : QByteArray();
}

} // namespace

class StartupTest : public QObject {
    Q_OBJECT

    // Starts the staged program (on qpaPlatform, or the one it chooses when that is empty),
    // clicks create_window and play, waits while playing until pictures change on the video
    // surface, closes the window and expects a clean exit; standard error goes to *err.
    void playAndClose(const Stage& stage, const QString& workingDir, bool playing,
                      const QString& qpaPlatform = "xcb", QString* err = nullptr) {
        QProcess process;
        const uint32_t window = stage.start(process, workingDir, qpaPlatform);
        QVERIFY2(window, "the window is on the X server");
        QTRY_VERIFY(grabWindow(window).width > 0); // mapped and drawn: it takes clicks
        QVERIFY(clickAt(window, buttonCentre("create_window_btn")));
        QVERIFY(clickAt(window, buttonCentre("play_btn")));
        if (playing) {
            QString out;
            QVERIFY2(waitForOutput(process, "open stream success!", 10000, &out), qPrintable(out));
            // Pictures are on the video surface: closing now closes during playback.
            const QRect video = videoArea();
            const auto first = sampleArea(window, video);
            QVERIFY(QTest::qWaitFor([&] { return sampleArea(window, video) != first; }, 5000));
        }
        sendDeleteWindow(window);
        QString why;
        QVERIFY2(cleanExit(process, &why, err), qPrintable(why));
    }

    void closeWhile(bool playing) {
        Stage stage;
        QVERIFY(stage.prepare());
        // Started from elsewhere while playing: the default ../demovideo/123.avi is found from
        // the program's own directory.
        playAndClose(stage, playing ? QDir::rootPath() : stage.bin(), playing);
    }

    // Plays a file turned 90 degrees with a library that cannot turn pictures: the program turns
    // them before the hand-over, and the picture stands portrait, red at the top right.
    void turnedFileStandsUpAgainst(const QString& library) {
        Stage stage;
        QVERIFY(stage.prepare(library));
        const std::string turned = quarteredTurnedFile(320, 180, 250, 90);
        QVERIFY(!turned.empty());
        const QString demo = stage.dir.path() + "/demovideo/123.avi"; // an MP4 by its content
        QVERIFY(QFile::remove(demo) && QFile::copy(QString::fromStdString(turned), demo));
        QProcess process;
        const uint32_t window = stage.start(process, stage.bin());
        QVERIFY(window);
        const QRect video = videoArea();
        QVERIFY(clickAt(window, buttonCentre("create_window_btn")));
        QVERIFY(clickAt(window, buttonCentre("play_btn")));
        QString out;
        QVERIFY2(waitForOutput(process, "open stream success!", 10000, &out), qPrintable(out));
        // A portrait 9:16 picture, as tall as the surface and centred, red at the top right.
        const int width = qRound(video.height() * 9.0 / 16);
        const int x = video.x() + (video.width() - width) / 2;
        const Rgb colours[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
        QVERIFY(QTest::qWaitFor(
            [&] {
                const Snapshot s = grabWindow(window);
                return showsQuarters(s, x, video.y(), width, video.height(), 90, colours, 16) &&
                       s.at(x - 4, video.center().y()) == Rgb{};
            },
            10000));
        sendDeleteWindow(window);
        QString why;
        QVERIFY2(cleanExit(process, &why), qPrintable(why));
    }

private slots:
    void playsPausesAndStopsAgainstAFiveFunctionLibrary() {
        Stage stage;
        QVERIFY(stage.prepare(QStringLiteral(FIVE_FUNCTION_LIBRARY)));
        const QString library = stage.library();
        QProcess process;
        const uint32_t window = stage.start(process, stage.bin());
        QVERIFY(window);
        QVERIFY2(mapsOf(process).contains(library.toLocal8Bit()), "runs on the staged library");

        const QRect video = videoArea();
        QVERIFY(!video.isEmpty());
        auto click = [&](const char* name) { return clickAt(window, buttonCentre(name)); };
        QVERIFY(click("create_window_btn"));
        QVERIFY(click("play_btn"));
        QString out;
        QVERIFY2(waitForOutput(process, "open stream success!", 10000, &out), qPrintable(out));

        // Playing: the surface shows the test pattern and changes; paused: it holds still.
        const auto grey = sampleArea(window, video);
        QVERIFY(QTest::qWaitFor([&] { return sampleArea(window, video) != grey; }, 5000));
        auto first = sampleArea(window, video);
        QVERIFY(QTest::qWaitFor([&] { return sampleArea(window, video) != first; }, 5000));
        QVERIFY(click("pause_btn"));
        // Paused once the surface holds still over a few pictures' pauses; then it stays so.
        QVERIFY(QTest::qWaitFor(
            [&] {
                first = sampleArea(window, video);
                QTest::qWait(150);
                return sampleArea(window, video) == first;
            },
            5000));
        QTest::qWait(300);
        QVERIFY2(sampleArea(window, video) == first, "paused pictures hold still");
        QVERIFY(click("pause_btn"));
        QVERIFY(QTest::qWaitFor([&] { return sampleArea(window, video) != first; }, 5000));
        QVERIFY(click("stop_btn"));
        QCOMPARE(process.state(), QProcess::Running);

        sendDeleteWindow(window);
        QString why;
        QVERIFY2(cleanExit(process, &why), qPrintable(why));
    }

    void turnedFileStandsUpAgainstAFiveFunctionLibrary() {
        turnedFileStandsUpAgainst(QStringLiteral(FIVE_FUNCTION_LIBRARY));
    }
    void turnedFileStandsUpAgainstAFirstRecordLibrary() {
        // put_picture that knows only the record before the turn.
        turnedFileStandsUpAgainst(QStringLiteral(FIRST_RECORD_LIBRARY));
    }

    // A Wayland session (a private Weston, with an X server beside it as XWayland would be) and
    // a library that cannot draw there: the window goes to the X server, says so once, and plays.
    void fallsBackToXWaylandAgainstALibraryWithoutWayland() {
        if (!onWaylandSession())
            QSKIP("needs WAYLAND_DISPLAY and DISPLAY (startup_test_wayland)");
        Stage stage;
        QVERIFY(stage.prepare(QStringLiteral(FIVE_FUNCTION_LIBRARY)));
        QString err;
        playAndClose(stage, stage.bin(), true, QString(), &err);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(err.count(xwaylandNotice), 1);
    }

    // A Wayland session whose compositor is gone (a stale WAYLAND_DISPLAY): Qt cannot start
    // there, and the window goes to the X server instead, saying so once.
    void aWaylandSessionQtCannotUseFallsBackToX11() {
        if (qEnvironmentVariableIsEmpty("DISPLAY") ||
            !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
            QSKIP("needs DISPLAY and no Wayland session (startup_test)");
        Stage stage;
        QVERIFY(stage.prepare());
        qputenv("WAYLAND_DISPLAY", "lumivarex-no-such-compositor");
        QString err;
        playAndClose(stage, stage.bin(), false, QString(), &err);
        qunsetenv("WAYLAND_DISPLAY");
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(err.count("Qt could not start on Wayland: the window runs on XWayland"), 1);
    }

    // The same session with the project's library: the window runs natively on Wayland, where
    // no X window appears and nothing is said; a platform the user names still wins.
    void runsOnWaylandWhenTheLibraryTakesItUnlessTheUserSaysOtherwise() {
        if (!onWaylandSession())
            QSKIP("needs WAYLAND_DISPLAY and DISPLAY (startup_test_wayland)");
        Stage stage;
        QVERIFY(stage.prepare());
        QProcess native;
        QVERIFY(!stage.start(native, stage.bin(), QString(), 2000));
        QVERIFY2(mapsOf(native).contains("platforms/libqwayland"), "on Qt's Wayland platform");
        // The grey video panel shows on the compositor's screen.
        const int panelArea = videoArea().width() * videoArea().height();
        QVERIFY(panelArea > 0);
        QVERIFY(QTest::qWaitFor(
            [&] {
                const Snapshot s = grabWaylandScreen();
                return std::count_if(s.pixels.begin(), s.pixels.end(), [](const Rgb& p) {
                           return near(p, {160, 160, 164}, 1);
                       }) >= panelArea;
            },
            10000));
        native.kill(); // a Wayland window cannot be closed from outside
        native.waitForFinished();
        QVERIFY(!QString::fromLocal8Bit(native.readAllStandardError()).contains("XWayland"));

        QProcess x11;
        const uint32_t window = stage.start(x11, stage.bin(), "xcb");
        QVERIFY2(window, "QT_QPA_PLATFORM=xcb puts the window on the X server");
        sendDeleteWindow(window);
        QString why, err;
        QVERIFY2(cleanExit(x11, &why, &err), qPrintable(why));
        QVERIFY(!err.contains(xwaylandNotice));
    }

    void closingDuringPlaybackExitsCleanly() { closeWhile(true); }
    void closingWhileThePlayerOpensExitsCleanly() { closeWhile(false); }

    void logsLibraryPathsAndExitsWithEventLoopCode() {
        const QString program = QStringLiteral(LUMIVAREX_BINARY);
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("QT_MESSAGE_PATTERN", "%{file}|%{line}|%{function}|%{message}");
        process.setProcessEnvironment(env);
        process.start(program, QStringList());
        QVERIFY(process.waitForStarted());

        const uint32_t window = waitForProgramWindow(process);
        QVERIFY(window);
        sendDeleteWindow(window);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);

        const QStringList lines =
            QString::fromLocal8Bit(process.readAllStandardError()).split('\n');
        QStringList libPathLines;
        for (const QString& line : lines)
            if (line.contains("|libPath"))
                libPathLines << line;
        QCOMPARE(libPathLines.size(), 1);
        const QStringList parts = libPathLines[0].split('|');
        QVERIFY(parts[0].endsWith("app/main.cpp"));
        QCOMPARE(parts[2], QString("main")); // the pattern shortens the signature

        QDir parent(QFileInfo(program).absolutePath());
        parent.cdUp();
        const QString expectedFirst = QString("(\"%1/lib\"").arg(parent.path());
        QVERIFY2(parts[3].startsWith("libPath " + expectedFirst), qPrintable(parts[3]));
        QVERIFY(parts[3].endsWith("\")"));
    }
};

QTEST_MAIN(StartupTest)
#include "startup_test.moc"
