// The window's output controls: an output showing pictures on the video surface, the
// display-mode cycle, the statistics slots, and the output's end with the window; on Wayland, the
// output following the panel's place in the window's surface. (Creating and destroying from both
// tabs is in stress_test.)

#include "lumivarexwindow.h"
#include "output_controls.h"
#include "panel_output.h"
#include "shared_state.h"
#include "stream_capture.h"
#include "wayland_screen.h"
#include "window_driver.h"
#include "xhelpers.h"

#include <QGuiApplication>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QWindow>
#include <QtTest>
#include <qpa/qplatformnativeinterface.h>

#include <unistd.h>
#include <wayland-client-core.h>

#include <string>
#include <vector>

namespace {

uint32_t surfaceId(LumivarexWindow& window) {
    return static_cast<uint32_t>(window.findChild<QWidget*>("video_widget")->winId());
}

const Rgb red{254, 0, 0}, black{0, 0, 0};

// A 64x48 (4:3) picture of one colour, red unless told.
int putPlain(uint8_t y = 81, uint8_t u = 90, uint8_t v = 240) {
    const int w = 64, h = 48;
    std::vector<uint8_t> luma(w * h, y), cb(w * h / 4, u), cr(w * h / 4, v);
    return olm_vout_put_buffer_pool_yuv(currentVout(), luma.data(), cb.data(), cr.data(), w, w, h);
}

// True when the area's inside (2 pixels in from each edge, where the compositor's scaling may
// blend) is all of one colour, sampled every 3 pixels.
bool filledWith(const Snapshot& s, const QRect& area, const Rgb& colour) {
    const QRect inside = area.adjusted(2, 2, -2, -2);
    if (inside.isEmpty() || !QRect(0, 0, s.width, s.height).contains(inside))
        return false;
    for (int y = inside.top(); y <= inside.bottom(); y += 3)
        for (int x = inside.left(); x <= inside.right(); x += 3)
            if (!near(s.at(x, y), colour, 8))
                return false;
    return true;
}

// True when no pixel of a band 2 to 4 pixels outside the area has the colour: the picture does
// not reach beyond the rectangle it was given.
bool noneAround(const Snapshot& s, const QRect& area, const Rgb& colour) {
    for (int d = 2; d <= 4; ++d) {
        const QRect ring = area.adjusted(-d, -d, d, d);
        for (int x = ring.left(); x <= ring.right(); ++x)
            for (int y : {ring.top(), ring.bottom()})
                if (QRect(0, 0, s.width, s.height).contains(x, y) && near(s.at(x, y), colour, 8))
                    return false;
        for (int y = ring.top(); y <= ring.bottom(); ++y)
            for (int x : {ring.left(), ring.right()})
                if (QRect(0, 0, s.width, s.height).contains(x, y) && near(s.at(x, y), colour, 8))
                    return false;
    }
    return true;
}

// The part of area beside (or above) a picture centred in it.
QRect besidePicture(const QRect& area, const QRect& picture) {
    return picture.left() > area.left()
               ? QRect(area.topLeft(), QPoint(picture.left() - 1, area.bottom()))
               : QRect(area.topLeft(), QPoint(area.right(), picture.top() - 1));
}

// The picture fills exactly this rectangle of the screen.
bool showsExactlyIn(const Snapshot& s, const QRect& area, const Rgb& colour) {
    return filledWith(s, area, colour) && noneAround(s, area, colour);
}

// The largest rectangle of the given aspect centred in area, as the 4:3 and 16:9 modes place it.
QRect centredAspect(const QRect& area, int w, int h) {
    QSize size(area.width(), area.width() * h / w);
    if (size.height() > area.height())
        size = QSize(area.height() * w / h, area.height());
    return QRect(area.x() + (area.width() - size.width()) / 2,
                 area.y() + (area.height() - size.height()) / 2, size.width(), size.height());
}

// A plain window with a panel of one colour, framed as Qt frames windows.
struct PlainHost {
    static constexpr Rgb colour{0x30, 0x60, 0xd0};
    QWidget window;
    QWidget* panel = new QWidget(&window);

    bool shown() {
        window.resize(400, 300);
        panel->setGeometry(40, 50, 200, 120);
        panel->setAutoFillBackground(true);
        QPalette palette = panel->palette();
        palette.setColor(QPalette::Window, QColor(colour.r, colour.g, colour.b));
        panel->setPalette(palette);
        window.show();
        return QTest::qWaitForWindowExposed(&window);
    }
};

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

    // On Wayland the output covers the panel's rectangle of the window's surface, and follows it
    // through the panel's tab shown, a mode change, maximising and back, and the tab hidden and
    // shown again; destroying it gives the panel back.
    void waylandOutputFollowsThePanel() {
        if (!runsOnWayland())
            QSKIP("Wayland only (output_controls_test_wayland)");
        LumivarexWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        Snapshot screen;
        QRect panel;
        auto panelShows = [&](const std::function<bool()>& check) {
            return QTest::qWaitFor(
                [&] {
                    panel = videoPanelOnScreen(window, &screen);
                    return !panel.isEmpty() && check();
                },
                5000);
        };

        // Made from the second tab, while the panel is hidden: it shows with the first tab.
        clickButton(window, "gp_create_btn");
        QVERIFY(outputIsOnWayland());
        QCOMPARE(olm_vout_set_display_mode(currentVout(), VOUT_PREFERRED), OLM_VOUT_OK);
        QCOMPARE(putPlain(), OLM_VOUT_OK);
        auto* tabs = window.findChild<QTabWidget*>("tabWidget");
        tabs->setCurrentIndex(0);
        QVERIFY2(panelShows([&] { return showsExactlyIn(screen, panel, red); }), "fills the panel");

        clickButton(window, "change_display_mode_btn");
        QCOMPARE(window.findChild<QStatusBar*>("statusBar")->currentMessage(),
                 QString("Display change to VOUT_16_9"));
        auto in16by9 = [&] {
            const QRect picture = centredAspect(panel, 16, 9);
            return showsExactlyIn(screen, picture, red) &&
                   filledWith(screen, besidePicture(panel, picture), black);
        };
        QVERIFY2(panelShows(in16by9), "16:9 in the panel");

        const QSize normal = panel.size();
        clickButton(window, "showmaximum_pushButton");
        QVERIFY2(panelShows([&] { return panel.width() > normal.width() && in16by9(); }),
                 "follows the panel of the maximised window");

        // A click on the panel logs its id, without giving it a native window: Qt would give it
        // and the widgets around it subsurfaces of their own and draw the window wrong around
        // them (parts of the other tab left on screen after a tab switch).
        auto* panelWidget = window.findChild<QWidget*>("video_widget");
        QTest::mouseClick(panelWidget, Qt::LeftButton);
        QCOMPARE(panelWidget->internalWinId(), WId(0));
        tabs->setCurrentIndex(1);
        const QRect hidden = panel;
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         const Snapshot s = grabWaylandScreen();
                         const QRect picture = centredAspect(hidden, 16, 9);
                         return s.width && !filledWith(s, picture, red) &&
                                !filledWith(s, besidePicture(hidden, picture), black) &&
                                noneAround(s, picture.adjusted(4, 4, -4, -4), red);
                     },
                     5000),
                 "nothing shows while the panel's tab is hidden");
        tabs->setCurrentIndex(0);
        QVERIFY2(panelShows(in16by9), "back with its tab");

        clickButton(window, "showmaximum_pushButton");
        QVERIFY2(panelShows([&] { return panel.size() == normal && in16by9(); }),
                 "follows the panel back to normal size");

        clickButton(window, "destroy_window_btn");
        QCOMPARE(currentVout(), nullptr);
        QVERIFY2(panelShows([&] {
                     return filledWith(screen, panel, {160, 160, 164});
                 }),
                 "the grey panel is back");
    }

    // Qt's Wayland platform destroys a window's surface when the window is hidden; the output in
    // it goes first.
    void closingTheWindowOnWaylandDestroysItsOutputBeforeItsSurface() {
        if (!runsOnWayland())
            QSKIP("Wayland only (output_controls_test_wayland)");
        LumivarexWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        clickButton(window, "create_window_btn");
        QVERIFY(outputIsOnWayland());
        QWindow* handle = window.windowHandle();
        QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
        bool outputGoneFirst = false;
        QObject::connect(handle, &QWindow::visibleChanged, [&](bool visible) {
            if (!visible)
                outputGoneFirst =
                    !currentVout() && native->nativeResourceForWindow("surface", handle);
        });
        window.close();
        QVERIFY(outputGoneFirst);
    }

    // A window whose frame Qt draws into its surface (Weston leaves decorations to clients): the
    // output still covers just the panel, inside the frame.
    void waylandOutputSitsInsideAFrameQtDraws() {
        if (!runsOnWayland())
            QSKIP("Wayland only (output_controls_test_wayland)");
        PlainHost host;
        QVERIFY(host.shown());
        QVERIFY2(host.window.windowHandle()->frameMargins().top() > 0, "Qt draws the frame");
        QRect onScreen;
        QVERIFY(QTest::qWaitFor(
            [&] {
                onScreen = areaOfColour(grabWaylandScreen(), PlainHost::colour, 2);
                return onScreen.size() == host.panel->size();
            },
            5000));

        QVERIFY(createOutputOnPanel(host.panel));
        QCOMPARE(olm_vout_set_display_mode(currentVout(), VOUT_PREFERRED), OLM_VOUT_OK);
        QCOMPARE(putPlain(), OLM_VOUT_OK);
        QVERIFY(QTest::qWaitFor([&] { return showsExactlyIn(grabWaylandScreen(), onScreen, red); },
                                5000));
        destroyOutput();
    }

    // The output's subsurfaces show, and take their place, only with the next commit of the
    // window's surface (Weston does not insist; others do): creating the output makes Qt commit
    // it, although nothing in the window changed. Read from the client's protocol log.
    void creatingTheOutputCommitsTheWindowsSurface() {
        if (!runsOnWayland() || qgetenv("WAYLAND_DEBUG") != "client")
            QSKIP("Wayland with WAYLAND_DEBUG=client (output_controls_test_protocol_wayland)");
        PlainHost host;
        QVERIFY(host.shown());
        QTest::qWait(300); // drawn and idle: nothing else will commit the surface
        auto* surface = static_cast<wl_proxy*>(
            QGuiApplication::platformNativeInterface()->nativeResourceForWindow(
                "surface", host.window.windowHandle()));
        QVERIFY(surface);
        // One write of the log holds the object, the request and the opening parenthesis.
        const std::string commit =
            "wl_surface@" + std::to_string(wl_proxy_get_id(surface)) + ".commit(";
        StreamCapture log(STDERR_FILENO);
        QVERIFY(createOutputOnPanel(host.panel));
        QVERIFY(QTest::qWaitFor(
            [&] {
                const std::string text = log.text();
                const size_t made = text.find("get_subsurface(");
                return made != std::string::npos && text.find(commit, made) != std::string::npos;
            },
            2000));
        destroyOutput();
    }
};

QTEST_MAIN(OutputControlsTest)
#include "output_controls_test.moc"
