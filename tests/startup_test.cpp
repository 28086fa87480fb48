// The real program: its library-path record and its exit when the window is closed.

#include "program_driver.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <QProcess>
#include <QtTest>
#include <cstdlib>

namespace {

// A copy of the program's surroundings: <dir>/bin is the working directory, so the default name
// ../demovideo/123.avi finds <dir>/demovideo/123.avi.
struct Stage {
    QTemporaryDir dir;
    QString bin() const { return dir.path() + "/bin"; }
    bool prepare() {
        QDir(dir.path()).mkpath("bin");
        QDir(dir.path()).mkpath("demovideo");
        const QString video = dir.path() + "/demovideo/123.avi";
        const QString command =
            QString("ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=s=320x240:r=25:d=20 "
                    "-f lavfi -i sine=d=20 -c:v mpeg4 -c:a mp2 '%1'")
                .arg(video);
        return std::system(command.toLocal8Bit().constData()) == 0;
    }
};

} // namespace

class StartupTest : public QObject {
    Q_OBJECT

    void closeWhile(bool playing) {
        Stage stage;
        QVERIFY(stage.prepare());
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "xcb");
        process.setProcessEnvironment(env);
        // Started from elsewhere while playing: the default ../demovideo/123.avi is found from
        // the program's own directory.
        const QString program = stage.bin() + "/lumivarex";
        QVERIFY(QFile::copy(QStringLiteral(LUMIVAREX_BINARY), program));
        process.setWorkingDirectory(playing ? QDir::rootPath() : stage.bin());
        process.start(program, QStringList());
        QVERIFY(process.waitForStarted());
        const uint32_t window = waitForProgramWindow(process);
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

private slots:
    void playsPausesAndStopsAgainstAFiveFunctionLibrary() {
        Stage stage;
        QVERIFY(stage.prepare());
        QDir(stage.dir.path()).mkpath("lib");
        const QString program = stage.bin() + "/lumivarex";
        const QString library = stage.dir.path() + "/lib/libolm_vout.so.1";
        QVERIFY(QFile::copy(QStringLiteral(LUMIVAREX_BINARY), program));
        QVERIFY(QFile::copy(QStringLiteral(FIVE_FUNCTION_LIBRARY), library));
        QFile(program).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "xcb");
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(stage.bin());
        process.start(program, QStringList());
        QVERIFY(process.waitForStarted());
        const uint32_t window = waitForProgramWindow(process);
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
