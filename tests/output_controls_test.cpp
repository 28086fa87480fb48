// The window's output controls: create and destroy from both tabs, the display-mode cycle, and
// clicks reaching the video panel through the output's window.

#include "logcapture.h"
#include "lumivarexwindow.h"
#include "shared_state.h"
#include "xhelpers.h"

#include <QProcess>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QtTest>

#include <vector>

namespace {

const char* const kMousePress = "virtual void ViedoPanelWIdget::mousePressEvent(QMouseEvent*)";

void click(LumivarexWindow& window, const char* button) {
    auto* b = window.findChild<QPushButton*>(button);
    QVERIFY2(b, button);
    // Buttons of the other tab are hidden: click it the way the user would, by showing its tab.
    auto* tabs = window.findChild<QTabWidget*>("tabWidget");
    for (int i = 0; i < tabs->count(); ++i)
        if (tabs->widget(i)->isAncestorOf(b))
            tabs->setCurrentIndex(i);
    QTest::mouseClick(b, Qt::LeftButton);
}

uint32_t surfaceId(LumivarexWindow& window) {
    return static_cast<uint32_t>(window.findChild<QWidget*>("video_widget")->winId());
}

} // namespace

class OutputControlsTest : public QObject {
    Q_OBJECT

private slots:
    void bothCreateButtonsKeepOneOutputOnTheVideoSurface() {
        LumivarexWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        click(window, "create_window_btn");
        olm_vout_t* first = currentVout();
        QVERIFY(first);
        const uint32_t surface = surfaceId(window);
        QTRY_COMPARE(childWindows(surface).size(), size_t(1));

        click(window, "gp_create_btn");
        QCOMPARE(currentVout(), first);
        QCOMPARE(childWindows(surface).size(), size_t(1));

        click(window, "gp_destroy_btn");
        QCOMPARE(currentVout(), nullptr);
        QVERIFY(childWindows(surface).empty());
        click(window, "destroy_window_btn"); // nothing to destroy: nothing happens
        QCOMPARE(currentVout(), nullptr);

        click(window, "gp_create_btn");
        QVERIFY(currentVout());
        QVERIFY(currentVout() != first);
        QTRY_COMPARE(childWindows(surface).size(), size_t(1));
        click(window, "destroy_window_btn");
        QCOMPARE(currentVout(), nullptr);
        QVERIFY(childWindows(surface).empty());
    }

    void outputShowsPicturesOnTheVideoSurface() {
        LumivarexWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        click(window, "create_window_btn");
        QVERIFY(currentVout());

        const int w = 64, h = 48;
        std::vector<uint8_t> y(w * h, 81), u(w * h / 4, 90), v(w * h / 4, 240); // red
        QCOMPARE(olm_vout_put_buffer_pool_yuv(currentVout(), y.data(), u.data(), v.data(), w, w, h),
                 OLM_VOUT_OK);
        const uint32_t surface = surfaceId(window);
        const QSize size = window.findChild<QWidget*>("video_widget")->size();
        QTRY_VERIFY(
            near(grabWindow(surface).at(size.width() / 2, size.height() / 2), Rgb{254, 0, 0}, 4));
        click(window, "destroy_window_btn");
    }

    void displayModeRequestsCycleWithStatusMessages() {
        LumivarexWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* status = window.findChild<QStatusBar*>("statusBar");

        click(window, "change_display_mode_btn");
        QVERIFY2(status->currentMessage().isEmpty(), "no output: no message");

        click(window, "create_window_btn");
        const QStringList expected = {"VOUT_PREFERRED", "VOUT_16_9", "VOUT_4_3", "VOUT_NORMAL"};
        const int32_t modes[] = {VOUT_PREFERRED, VOUT_16_9, VOUT_4_3, VOUT_NORMAL};
        for (int i = 0; i < expected.size(); ++i) {
            click(window, "change_display_mode_btn");
            QCOMPARE(status->currentMessage(), "Display change to " + expected[i]);
            int32_t mode = -1;
            QCOMPARE(olm_vout_get_display_mode(currentVout(), &mode), OLM_VOUT_OK);
            QCOMPARE(mode, modes[i]);
        }

        click(window, "destroy_window_btn");
        status->clearMessage();
        click(window, "change_display_mode_btn");
        QVERIFY(status->currentMessage().isEmpty());
    }

    void clickOverTheVideoStillReachesThePanel() {
        LumivarexWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        click(window, "create_window_btn");
        auto* surface = window.findChild<QWidget*>("video_widget");
        QTRY_COMPARE(childWindows(surface->winId()).size(), size_t(1));

        LogCapture log;
        // A real pointer click through the X server, landing on the output's own window.
        const QPoint at = surface->mapToGlobal(surface->rect().center());
        QProcess xdotool;
        xdotool.start("xdotool", {"mousemove", QString::number(at.x()), QString::number(at.y()),
                                  "click", "1"});
        QVERIFY(xdotool.waitForFinished(5000));
        QCOMPARE(xdotool.exitCode(), 0);
        QTRY_COMPARE(log.from(kMousePress).size(), 1);
        QCOMPARE(log.from(kMousePress)[0].text,
                 QString("\"video_widget\"  :  %1").arg(static_cast<qint64>(surface->winId())));
        click(window, "destroy_window_btn");
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
        click(*window, "create_window_btn");
        QVERIFY(currentVout());
        delete window;
        QCOMPARE(currentVout(), nullptr);
    }
};

QTEST_MAIN(OutputControlsTest)
#include "output_controls_test.moc"
