#include "viedopanelwidget.h"

#include "debugtext.h"
#include "panel_output.h"

#include <QDebug>

ViedoPanelWIdget::ViedoPanelWIdget(QWidget* parent) : QWidget(parent) {}

ViedoPanelWIdget::~ViedoPanelWIdget() = default;

void ViedoPanelWIdget::mousePressEvent(QMouseEvent* event) {
    QWidget::mousePressEvent(event);
    // On Wayland an id is a mere counter, the output is not made on one, and asking for it gives
    // the panel, its ancestors and their children subsurfaces of their own, which Qt then draws
    // the window wrong around: log the id there is (0).
    const qint64 id = windowIdForLog(runsOnWayland() ? internalWinId() : winId());
    const QString name = objectName();
    qDebug().noquote() << quoted(name) << " : " << id;
}

void ViedoPanelWIdget::enterEvent(QEvent* event) {
    QWidget::enterEvent(event);
}

void ViedoPanelWIdget::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
}
