// The real program: its library-path record and its exit when the window is closed.

#include "lumivarexwindow.h"
#include "xhelpers.h"

#include <QPushButton>

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

uint32_t waitForWindow(const QProcess& process) {
    std::vector<uint32_t> windows;
    for (int i = 0; i < 200 && windows.empty(); ++i) {
        windows = findTopLevelWindows("LumivarexWindow", process.processId());
        if (windows.empty())
            QTest::qWait(50);
    }
    return windows.empty() ? 0 : windows.front();
}

// Clicks at a place in the window through the X server, as a pointer would.
bool clickAt(uint32_t window, int x, int y) {
    return QProcess::execute("xdotool", {"mousemove", "--window", QString::number(window),
                                         QString::number(x), QString::number(y), "click", "1"}) ==
           0;
}

// Where a button sits in the window: asked of a window built here, on the same server with the
// same fonts, since the program's own window lays out identically.
QPoint buttonCentre(const char* name) {
    LumivarexWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return {};
    auto* button = window.findChild<QPushButton*>(name);
    return button->mapTo(&window, button->rect().center());
}

// Where the video surface sits in the window, asked as buttonCentre asks.
QRect videoArea() {
    LumivarexWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return {};
    auto* video = window.findChild<QWidget*>("video_widget");
    return QRect(video->mapTo(&window, QPoint(0, 0)), video->size());
}

// The pixels of a rectangle of the window, sampled on a grid.
std::vector<Rgb> sample(uint32_t window, const QRect& area) {
    const Snapshot s = grabWindow(window);
    std::vector<Rgb> pixels;
    for (int y = area.top() + 4; y < area.bottom() && y < s.height; y += 8)
        for (int x = area.left() + 4; x < area.right() && x < s.width; x += 8)
            pixels.push_back(s.at(x, y));
    return pixels;
}

bool cleanExit(QProcess& process, QString* why) {
    if (!process.waitForFinished(15000)) {
        *why = "did not exit";
        process.kill();
        return false;
    }
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
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
        const uint32_t window = waitForWindow(process);
        QVERIFY(window);
        QTRY_VERIFY(grabWindow(window).width > 0); // mapped and drawn: it takes clicks
        const QPoint create = buttonCentre("create_window_btn"), play = buttonCentre("play_btn");
        QVERIFY(!create.isNull() && !play.isNull());
        QVERIFY(clickAt(window, create.x(), create.y()));
        QVERIFY(clickAt(window, play.x(), play.y()));
        if (playing) {
            QString out;
            for (int i = 0; i < 100 && !out.contains("open stream success!"); ++i) {
                process.waitForReadyRead(100);
                out += QString::fromLocal8Bit(process.readAllStandardOutput());
            }
            QVERIFY2(out.contains("open stream success!"), qPrintable(out));
            // Pictures are on the video surface: closing now closes during playback.
            const QRect video = videoArea();
            const auto first = sample(window, video);
            QVERIFY(QTest::qWaitFor([&] { return sample(window, video) != first; }, 5000));
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
        const uint32_t window = waitForWindow(process);
        QVERIFY(window);
        QFile maps(QString("/proc/%1/maps").arg(process.processId()));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        QVERIFY2(maps.readAll().contains(library.toLocal8Bit()), "runs on the staged library");

        const QRect video = videoArea();
        QVERIFY(!video.isEmpty());
        auto click = [&](const char* name) {
            const QPoint at = buttonCentre(name);
            return !at.isNull() && clickAt(window, at.x(), at.y());
        };
        QVERIFY(click("create_window_btn"));
        QVERIFY(click("play_btn"));
        QString out;
        for (int i = 0; i < 100 && !out.contains("open stream success!"); ++i) {
            process.waitForReadyRead(100);
            out += QString::fromLocal8Bit(process.readAllStandardOutput());
        }
        QVERIFY2(out.contains("open stream success!"), qPrintable(out));

        // Playing: the surface shows the test pattern and changes; paused: it holds still.
        const auto grey = sample(window, video);
        QVERIFY(QTest::qWaitFor([&] { return sample(window, video) != grey; }, 5000));
        auto first = sample(window, video);
        QVERIFY(QTest::qWaitFor([&] { return sample(window, video) != first; }, 5000));
        QVERIFY(click("pause_btn"));
        // Paused once the surface holds still over a few pictures' pauses; then it stays so.
        QVERIFY(QTest::qWaitFor(
            [&] {
                first = sample(window, video);
                QTest::qWait(150);
                return sample(window, video) == first;
            },
            5000));
        QTest::qWait(300);
        QVERIFY2(sample(window, video) == first, "paused pictures hold still");
        QVERIFY(click("pause_btn"));
        QVERIFY(QTest::qWaitFor([&] { return sample(window, video) != first; }, 5000));
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

        const uint32_t window = waitForWindow(process);
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
