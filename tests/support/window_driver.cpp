#include "window_driver.h"

#include "lumivarexwindow.h"
#include "panel_output.h"
#include "shared_state.h"
#include "wayland_screen.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QtTest>

#include <algorithm>

BoxSeen clickButton(LumivarexWindow& window, const char* objectName) {
    BoxSeen seen;
    auto* button = window.findChild<QPushButton*>(objectName);
    if (!button)
        qFatal("no button %s", objectName);
    auto* tabs = window.findChild<QTabWidget*>("tabWidget");
    for (int i = 0; i < tabs->count(); ++i)
        if (tabs->widget(i)->isAncestorOf(button))
            tabs->setCurrentIndex(i);
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            seen.title = box->windowTitle();
            seen.text = box->text();
            seen.count++;
            box->done(QMessageBox::Ok);
        }
    });
    closer.start(20);
    QTest::mouseClick(button, Qt::LeftButton);
    return seen;
}

void setFileName(LumivarexWindow& window, const QString& name) {
    window.findChild<QLineEdit*>("lineEdit")->setText(name);
}

unsigned long long picturesPut() {
    olm_vout_stats s{};
    if (olm_vout_t* vout = currentVout())
        olm_vout_get_stats(vout, &s);
    return s.put;
}

namespace {

// A green that no test picture uses, for the video panel's tab page.
const QColor pageMarker(0x2a, 0xd0, 0x7c);

} // namespace

QRect areaOfColour(const Snapshot& s, const Rgb& colour, int tolerance) {
    int left = s.width, top = s.height, right = -1, bottom = -1;
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x)
            if (near(s.at(x, y), colour, tolerance)) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    return right < 0 ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom));
}

QRect videoPanelOnScreen(LumivarexWindow& window, Snapshot* screen) {
    auto* panel = window.findChild<QWidget*>("video_widget");
    QWidget* page = panel->parentWidget();
    const bool marked =
        page->autoFillBackground() && page->palette().color(QPalette::Window) == pageMarker;
    if (!marked) {
        page->setAutoFillBackground(true);
        QPalette palette = page->palette();
        palette.setColor(QPalette::Window, pageMarker);
        page->setPalette(palette);
    }
    QRect found;
    // The page's margins show the marker all round: its whole size, or it is not drawn yet (or
    // not at its current size). A page just marked gets the time to be drawn.
    auto pageFound = [&] {
        QCoreApplication::processEvents();
        *screen = grabWaylandScreen();
        found = areaOfColour(*screen, {pageMarker.red(), pageMarker.green(), pageMarker.blue()}, 2);
        return found.size() == page->size();
    };
    if (!(marked ? pageFound() : QTest::qWaitFor(pageFound, 2000)))
        return {};
    return QRect(found.topLeft() + panel->mapTo(page, QPoint(0, 0)), panel->size());
}

Snapshot grabVideoPanel(LumivarexWindow& window) {
    auto* panel = window.findChild<QWidget*>("video_widget");
    if (!runsOnWayland())
        return grabWindow(uint32_t(panel->winId()));
    Snapshot screen;
    const QRect area = videoPanelOnScreen(window, &screen);
    Snapshot snap;
    if (area.isEmpty() || !QRect(0, 0, screen.width, screen.height).contains(area))
        return snap;
    snap.width = area.width();
    snap.height = area.height();
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            snap.pixels.push_back(screen.at(x, y));
    return snap;
}
