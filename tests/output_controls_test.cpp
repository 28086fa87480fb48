// The window's output controls: an output showing pictures on the video surface, the
// display-mode cycle, the statistics slots, and the output's end with the window. (Creating and
// destroying from both tabs is in stress_test.)

#include "lumivarexwindow.h"
#include "shared_state.h"
#include "window_driver.h"
#include "xhelpers.h"

#include <QPushButton>
#include <QStatusBar>
#include <QtTest>

#include <vector>

namespace {

uint32_t surfaceId(LumivarexWindow& window) {
    return static_cast<uint32_t>(window.findChild<QWidget*>("video_widget")->winId());
}

} // namespace

class OutputControlsTest : public QObject {
    Q_OBJECT

private slots:
    void outputShowsPicturesOnTheVideoSurface() {
        LumivarexWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        clickButton(window, "create_window_btn");
        QVERIFY(currentVout());

        const int w = 64, h = 48;
        std::vector<uint8_t> y(w * h, 81), u(w * h / 4, 90), v(w * h / 4, 240); // red
        QCOMPARE(olm_vout_put_buffer_pool_yuv(currentVout(), y.data(), u.data(), v.data(), w, w, h),
                 OLM_VOUT_OK);
        const uint32_t surface = surfaceId(window);
        const QSize size = window.findChild<QWidget*>("video_widget")->size();
        QTRY_VERIFY(
            near(grabWindow(surface).at(size.width() / 2, size.height() / 2), Rgb{254, 0, 0}, 4));
        clickButton(window, "destroy_window_btn");
    }

    void displayModeRequestsCycleWithStatusMessages() {
        LumivarexWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* status = window.findChild<QStatusBar*>("statusBar");

        clickButton(window, "change_display_mode_btn");
        QVERIFY2(status->currentMessage().isEmpty(), "no output: no message");

        clickButton(window, "create_window_btn");
        const QStringList expected = {"VOUT_PREFERRED", "VOUT_16_9", "VOUT_4_3", "VOUT_NORMAL"};
        const int32_t modes[] = {VOUT_PREFERRED, VOUT_16_9, VOUT_4_3, VOUT_NORMAL};
        for (int i = 0; i < expected.size(); ++i) {
            clickButton(window, "change_display_mode_btn");
            QCOMPARE(status->currentMessage(), "Display change to " + expected[i]);
            int32_t mode = -1;
            QCOMPARE(olm_vout_get_display_mode(currentVout(), &mode), OLM_VOUT_OK);
            QCOMPARE(mode, modes[i]);
        }

        clickButton(window, "destroy_window_btn");
        status->clearMessage();
        clickButton(window, "change_display_mode_btn");
        QVERIFY(status->currentMessage().isEmpty());
    }

    void statisticsSlotsWorkWhenInvokedThoughTheirButtonsAreDisabled() {
        auto* window = new LumivarexWindow;
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QTest::mouseClick(window->findChild<QPushButton*>("load_picture_btn"), Qt::LeftButton);
        QVERIFY2(!g_statsThread, "a disabled button starts nothing");
        QVERIFY(QMetaObject::invokeMethod(window, "on_load_picture_btn_clicked"));
        QVERIFY(g_statsThread);
        QVERIFY(g_statsRunning);
        QVERIFY(QMetaObject::invokeMethod(window, "on_load_picture_2_btn_clicked"));
        QVERIFY(!g_statsThread);
        QVERIFY(!g_statsRunning);
        QVERIFY(QMetaObject::invokeMethod(window, "on_load_picture_btn_clicked"));
        QVERIFY(g_statsThread);
        delete window; // closing the window ends it too
        QVERIFY(!g_statsThread);
    }

    void closingTheWindowDestroysItsOutputFirst() {
        auto* window = new LumivarexWindow;
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        clickButton(*window, "create_window_btn");
        QVERIFY(currentVout());
        // The output draws into the video surface's native window: it must be gone before the
        // surface goes, while that window still exists on the server.
        auto* surface = window->findChild<QWidget*>("video_widget");
        const uint32_t id = surfaceId(*window);
        bool outputGoneFirst = false;
        QObject::connect(surface, &QObject::destroyed, [&] {
            outputGoneFirst = !currentVout() && windowSize(id) != std::make_pair(0, 0);
        });
        delete window;
        QVERIFY(outputGoneFirst);
        QCOMPARE(currentVout(), nullptr);
    }
};

QTEST_MAIN(OutputControlsTest)
#include "output_controls_test.moc"
