// Whatever the user does, in whatever order and however often: outputs come and go during
// playback, play and stop alternate, pause and stop storm, the window changes size.

#include "lumivarexwindow.h"
#include "media.h"
#include "shared_state.h"
#include "threads.h"
#include "window_driver.h"
#include "xhelpers.h"

#include <QtTest>

#include <random>

class StressTest : public QObject {
    Q_OBJECT

    QString file_;
    LumivarexWindow* window_ = nullptr;

    QWidget* surface() { return window_->findChild<QWidget*>("video_widget"); }

private slots:
    void initTestCase() {
        file_ = QString::fromStdString(makeMedia("stress.avi", colourInput("red", 320, 240, 1500) +
                                                                   " " + toneInput(60) +
                                                                   " -c:v mpeg4 -c:a mp2"));
        QVERIFY(!file_.isEmpty());
    }

    void init() {
        window_ = new LumivarexWindow;
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_));
        setFileName(*window_, file_);
        g_frameIntervalMs = 20;
    }

    void cleanup() {
        delete window_;
        window_ = nullptr;
        QVERIFY(!g_playbackThread);
        QCOMPARE(currentVout(), nullptr);
    }

    void fiveHundredOutputsComeAndGoDuringPlayback() {
        clickButton(*window_, "play_btn");
        const uint32_t id = uint32_t(surface()->winId());
        for (int i = 0; i < 500; ++i) {
            clickButton(*window_, i % 2 ? "gp_create_btn" : "create_window_btn");
            olm_vout_t* created = currentVout();
            QVERIFY(created);
            if (i % 50 == 0) {
                // The other tab's create keeps the one output; a destroy with none does nothing.
                clickButton(*window_, i % 2 ? "create_window_btn" : "gp_create_btn");
                QCOMPARE(currentVout(), created);
                QTRY_COMPARE(childWindows(id).size(), size_t(1));
                QTest::qWait(25); // let a picture or two through now and then
            }
            clickButton(*window_, i % 3 ? "destroy_window_btn" : "gp_destroy_btn");
            QCOMPARE(currentVout(), nullptr);
            if (i % 50 == 0) {
                QVERIFY(childWindows(id).empty());
                clickButton(*window_, i % 3 ? "gp_destroy_btn" : "destroy_window_btn");
                QCOMPARE(currentVout(), nullptr);
            }
        }
        QVERIFY(childWindows(id).empty());
        clickButton(*window_, "create_window_btn");
        QTRY_VERIFY(picturesPut() >= 3);
        QCOMPARE(childWindows(id).size(), size_t(1));
        QVERIFY(g_playbackThread);
        clickButton(*window_, "stop_btn");
    }

    void twoHundredPlayStopCyclesLeaveNoThreadBehind() {
        clickButton(*window_, "create_window_btn");
        const int threads = threadCount();
        for (int i = 0; i < 200; ++i) {
            clickButton(*window_, "play_btn");
            if (i % 20 == 0)
                QTest::qWait(40);
            clickButton(*window_, "stop_btn");
            QVERIFY(!g_playbackThread);
        }
        QCOMPARE(threadCount(), threads);
        clickButton(*window_, "play_btn");
        QTRY_VERIFY(picturesPut() >= 3);
    }

    void pauseAndStopStormsEndInAWorkingPlayer() {
        clickButton(*window_, "create_window_btn");
        std::mt19937 random(11);
        const char* const buttons[] = {"play_btn", "pause_btn", "stop_btn", "pause_btn"};
        for (int i = 0; i < 300; ++i) {
            clickButton(*window_, buttons[random() % 4]);
            if (random() % 10 == 0)
                QTest::qWait(int(random() % 30));
        }
        clickButton(*window_, "stop_btn");
        QVERIFY(!g_playbackThread);
        // Whatever the pause state was, a new play begins unpaused.
        clickButton(*window_, "play_btn");
        const unsigned long long before = picturesPut();
        QTRY_VERIFY(picturesPut() > before + 3);
    }

    void resizingAndMaximisingDuringPlaybackKeepsTheOutputFitted() {
        clickButton(*window_, "create_window_btn");
        clickButton(*window_, "play_btn");
        QTRY_VERIFY(picturesPut() >= 2);
        const uint32_t id = uint32_t(surface()->winId());
        std::mt19937 random(5);
        for (int i = 0; i < 30; ++i) {
            if (i % 3 == 0)
                clickButton(*window_, "showmaximum_pushButton");
            else
                window_->resize(500 + int(random() % 600), 400 + int(random() % 400));
            QTest::qWait(15);
        }
        window_->resize(700, 520);
        QTRY_VERIFY(!childWindows(id).empty());
        const uint32_t child = childWindows(id).front();
        QTRY_COMPARE(windowSize(child), std::make_pair(surface()->width(), surface()->height()));
        const QPoint centre = surface()->rect().center();
        QTRY_VERIFY(near(grabWindow(id).at(centre.x(), centre.y()), {254, 0, 0}, 12));
        clickButton(*window_, "stop_btn");
    }
};

QTEST_MAIN(StressTest)
#include "stress_test.moc"
