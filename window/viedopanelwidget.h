#pragma once

#include <QWidget>

// The video surface. It draws nothing itself: the window colours its background and a video
// output draws into its native window. Deliberately without Q_OBJECT, so the meta-object system
// sees a plain QWidget.
class ViedoPanelWIdget : public QWidget {
public:
    explicit ViedoPanelWIdget(QWidget* parent = nullptr);
    ~ViedoPanelWIdget() override;

protected:
    // Logs the panel's name and native window id on every press.
    void mousePressEvent(QMouseEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
};
