#include "viedopanelwidget.h"

#include "debugtext.h"

#include <QDebug>

ViedoPanelWIdget::ViedoPanelWIdget(QWidget* parent) : QWidget(parent) {}

ViedoPanelWIdget::~ViedoPanelWIdget() = default;

void ViedoPanelWIdget::mousePressEvent(QMouseEvent* event) {
    QWidget::mousePressEvent(event);
    const qint64 id = windowIdForLog(winId());
    const QString name = objectName();
    qDebug().noquote() << quoted(name) << " : " << id;
}

void ViedoPanelWIdget::enterEvent(QEvent* event) {
    QWidget::enterEvent(event);
}

void ViedoPanelWIdget::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
}
