#include "window_driver.h"

#include "lumivarexwindow.h"
#include "shared_state.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QtTest>

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
