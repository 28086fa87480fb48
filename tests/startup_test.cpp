// The real program: its library-path record and its exit when the window is closed.

#include "media.h"
#include "program_driver.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <QProcess>
#include <QtTest>
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
    // Starts the staged program in workingDir, on the xcb platform; its window, or 0.
    uint32_t start(QProcess& process, const QString& workingDir) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "xcb");
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(workingDir);
        process.start(bin() + "/lumivarex", QStringList());
        return process.waitForStarted() ? waitForProgramWindow(process) : 0;
    }
};

} // namespace

class StartupTest : public QObject {
    Q_OBJECT

    void closeWhile(bool playing) {
        Stage stage;
        QVERIFY(stage.prepare());
        QProcess process;
        // Started from elsewhere while playing: the default ../demovideo/123.avi is found from
        // the program's own directory.
        const uint32_t window = stage.start(process, playing ? QDir::rootPath() : stage.bin());
        QVERIFY(window);
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
        QVERIFY2(cleanExit(process, &why), qPrintable(why));
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
        QFile maps(QString("/proc/%1/maps").arg(process.processId()));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        QVERIFY2(maps.readAll().contains(library.toLocal8Bit()), "runs on the staged library");

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
