// Playback driven through the window's buttons, as a user drives it.

#include "lumivarexwindow.h"
#include "media.h"
#include "shared_state.h"
#include "stream_capture.h"
#include "threads.h"
#include "window_driver.h"
#include "xhelpers.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QtTest>

extern "C" {
#include <libavutil/error.h>
}

#include <unistd.h>

namespace {

Rgb surfaceCentre(LumivarexWindow& window) {
    const Snapshot s = grabVideoPanel(window);
    return s.width ? s.at(s.width / 2, s.height / 2) : Rgb{-1, -1, -1};
}

} // namespace

class PlaybackWindowTest : public QObject {
    Q_OBJECT

    QString red_, blue_, pattern_;
    LumivarexWindow* window_ = nullptr;

private slots:
    void initTestCase() {
        red_ = QString::fromStdString(makeMedia("red.avi", colourInput("red", 320, 240, 500) + " " +
                                                               toneInput(20) +
                                                               " -c:v mpeg4 -c:a mp2"));
        blue_ = QString::fromStdString(
            makeMedia("blue.avi", colourInput("blue", 320, 240, 500) + " -c:v mpeg4"));
        // SMPTE colour bars: known colours at known places.
        pattern_ = QString::fromStdString(
            makeMedia("bars.avi", "-f lavfi -i smptebars=s=320x240:r=25:d=20 -c:v mpeg4 -q:v 2"));
        QVERIFY(!red_.isEmpty() && !blue_.isEmpty() && !pattern_.isEmpty());
    }

    void init() {
        window_ = new LumivarexWindow;
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_));
        QTest::mouseClick(window_->findChild<QPushButton*>("create_window_btn"), Qt::LeftButton);
        QVERIFY(currentVout());
        olm_vout_set_display_mode(currentVout(), VOUT_PREFERRED);
    }

    void cleanup() {
        delete window_; // ends playback and destroys the output
        window_ = nullptr;
        QVERIFY(!g_playbackThread);
        QCOMPARE(currentVout(), nullptr);
    }

    void playShowsTheFileOnTheVideoSurface() {
        setFileName(*window_, pattern_);
        clickButton(*window_, "play_btn");
        // Top two thirds of SMPTE bars: seven columns, grey (75 %) first, blue last.
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                const Snapshot s = grabVideoPanel(*window_);
                if (!s.width)
                    return false;
                const int y = s.height / 3;
                auto column = [&](int i) { return s.at(s.width * (2 * i + 1) / 14, y); };
                return near(column(0), {191, 191, 191}, 16) && near(column(1), {191, 191, 0}, 16) &&
                       near(column(2), {0, 191, 191}, 16) && near(column(3), {0, 191, 0}, 16) &&
                       near(column(4), {191, 0, 191}, 16) && near(column(5), {191, 0, 0}, 16) &&
                       near(column(6), {0, 0, 191}, 16);
            }(),
            5000);
    }

    void pauseStopsNewPicturesAndResumes() {
        setFileName(*window_, red_);
        clickButton(*window_, "play_btn");
        QTRY_VERIFY(picturesPut() >= 3);
        clickButton(*window_, "pause_btn");
        // The pass in flight finishes: the count holds still over more than a picture's pause.
        QTRY_VERIFY([] {
            const uint64_t before = picturesPut();
            QTest::qWait(80);
            return picturesPut() == before;
        }());
        const uint64_t paused = picturesPut();
        QTest::qWait(400);
        QCOMPARE(picturesPut(), paused);
        QVERIFY2(near(surfaceCentre(*window_), {254, 0, 0}, 12), "the last picture stays");
        clickButton(*window_, "pause_btn");
        QTRY_VERIFY(picturesPut() > paused + 2);
    }

    void stopEndsThreadPromptlyFromEveryState() {
        setFileName(*window_, red_);
        QElapsedTimer timer;
        // While playing.
        clickButton(*window_, "play_btn");
        QTRY_VERIFY(picturesPut() >= 2);
        timer.start();
        clickButton(*window_, "stop_btn");
        QVERIFY(timer.elapsed() < 500);
        QVERIFY(!g_playbackThread);
        // While paused.
        const uint64_t before = picturesPut();
        clickButton(*window_, "play_btn");
        QTRY_VERIFY(picturesPut() > before); // playing (it clears the pause when it begins)
        clickButton(*window_, "pause_btn");
        timer.start();
        clickButton(*window_, "stop_btn");
        QVERIFY(timer.elapsed() < 500);
        QVERIFY(!g_playbackThread);
        g_paused = false;
        // While still opening the file.
        clickButton(*window_, "play_btn");
        timer.start();
        clickButton(*window_, "stop_btn");
        QVERIFY(timer.elapsed() < 1000);
        QVERIFY(!g_playbackThread);
        // With nothing playing.
        clickButton(*window_, "stop_btn");
        QVERIFY(!g_playbackThread);
    }

    void secondPlayReplacesTheFirstThread() {
        setFileName(*window_, red_);
        clickButton(*window_, "play_btn");
        QTRY_VERIFY(near(surfaceCentre(*window_), {254, 0, 0}, 12));
        const int threads = threadCount();
        setFileName(*window_, blue_);
        clickButton(*window_, "play_btn");
        QVERIFY(g_playbackThread);
        QCOMPARE(threadCount(), threads); // the first thread was ended, one new one runs
        QVERIFY(std::string(window_->fileName) == blue_.toStdString());
        QTRY_VERIFY(near(surfaceCentre(*window_), {0, 0, 254}, 12));
        // Only the blue file is being played now: red never comes back.
        for (int i = 0; i < 10; ++i) {
            QTest::qWait(30);
            QVERIFY(near(surfaceCentre(*window_), {0, 0, 254}, 12));
        }
    }

    void namesThatAreNotFilesShowTheBoxAndLeavePlaybackAlone() {
        setFileName(*window_, red_);
        clickButton(*window_, "play_btn");
        QTRY_VERIFY(picturesPut() >= 2);
        const pthread_t running = *g_playbackThread;

        const QString tooLong =
            QString::fromStdString(mediaDir()) + "/" + QString(600, 'x') + ".avi";
        for (const QString& name : {QString::fromStdString(mediaDir() + "/missing.avi"),
                                    QString::fromStdString(mediaDir()), QString(), tooLong}) {
            setFileName(*window_, name);
            const BoxSeen box = clickButton(*window_, "play_btn");
            QCOMPARE(box.count, 1);
            QCOMPARE(box.title, QString("Info"));
            QCOMPARE(box.text, QString("Cannot find file"));
            QVERIFY(g_playbackThread && pthread_equal(*g_playbackThread, running));
            QVERIFY(std::string(window_->fileName) == red_.toStdString());
        }
        const uint64_t before = picturesPut();
        QTRY_VERIFY(picturesPut() > before + 2); // still playing
    }

    void stopAlsoStopsTheStreamDecoder() {
        // An input that ends at once: the decoder thread fails and ends, its handle stays held.
        auto endOfInput = [](void*, uint8_t*, int) { return int(AVERROR_EOF); };
        StreamCapture err(STDERR_FILENO);
        QVERIFY(window_->decoder().start(endOfInput, nullptr, "nothing", nullptr));
        QTRY_VERIFY(err.text().find("avformat open failed.") != std::string::npos);
        QVERIFY(window_->decoder().isRunning());
        clickButton(*window_, "stop_btn");
        QVERIFY(!window_->decoder().isRunning());
    }

    void slowestPaceShowsFewerThanTenPicturesASecond() {
        window_->findChild<QSlider*>("frame_rate_Slider_3")->setValue(100);
        setFileName(*window_, red_);
        clickButton(*window_, "play_btn");
        QTRY_VERIFY(picturesPut() >= 1);
        // Ten more pictures take at least ten pauses of 100 ms, however fast the machine.
        const uint64_t start = picturesPut();
        QElapsedTimer timer;
        timer.start();
        QTRY_VERIFY_WITH_TIMEOUT(picturesPut() >= start + 10, 20000);
        QVERIFY2(timer.elapsed() >= 900, qPrintable(QString::number(timer.elapsed())));
    }
};

QTEST_MAIN(PlaybackWindowTest)
#include "playback_window_test.moc"
