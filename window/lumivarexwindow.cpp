#include "lumivarexwindow.h"

#include "debugtext.h"
#include "file_name.h"
#include "frame_stats.h"
#include "output_controls.h"
#include "panel_output.h"
#include "playback_thread.h"
#include "shared_state.h"
#include "ui_lumivarexwindow.h"

#include <QDebug>
#include <QFileInfo>
#include <QGraphicsScene>
#include <QMessageBox>

#include <cstring>

LumivarexWindow::LumivarexWindow(QWidget* parent)
    : QMainWindow(parent), ui(new Ui_LumivarexWindow) {
    ui->setupUi(this);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setCurrentVout(nullptr);
    setQPalette(ui->video_widget);

    auto* scene = new QGraphicsScene(this);
    scene->setBackgroundBrush(QBrush(Qt::lightGray, Qt::SolidPattern));
    ui->graphicsView->setScene(scene);
    ui->graphicsView->setViewportUpdateMode(QGraphicsView::FullViewportUpdate);

    // The slider's name does not match the slot's, so connect it by hand.
    connect(ui->frame_rate_Slider_3, SIGNAL(valueChanged(int)), this,
            SLOT(on_frame_rate_Slider_valueChanged(int)));
    ui->frame_rate_Slider_3->setValue(30);
}

LumivarexWindow::~LumivarexWindow() {
    // Workers read the window and the output; end them first. The output draws into
    // video_widget's native window: take it away while that still exists.
    stopPlaybackThread();
    streamDecoder.stop();
    stopStatisticsThread();
    destroyOutput();
    delete ui;
}

void LumivarexWindow::setQPalette(QWidget* widget) {
    const qint64 id = windowIdForLog(widget->internalWinId());
    qDebug().noquote() << "Widget" << quoted(widget->objectName()) << "xid" << id;
    widget->setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setBrush(QPalette::All, QPalette::Window, QBrush(Qt::gray, Qt::SolidPattern));
    widget->setPalette(palette);
}

void LumivarexWindow::on_create_window_btn_clicked() {
    createOutputOnPanel(ui->video_widget);
}

void LumivarexWindow::on_destroy_window_btn_clicked() {
    destroyOutput();
}

void LumivarexWindow::on_load_picture_btn_clicked() {
    restartStatisticsThread(this);
}

void LumivarexWindow::on_load_picture_2_btn_clicked() {
    stopStatisticsThread();
}

void LumivarexWindow::on_change_display_mode_btn_clicked() {
    const QString name = stepDisplayMode();
    if (!name.isEmpty())
        ui->statusBar->showMessage(QStringLiteral("Display change to %1").arg(name), 10000);
}

void LumivarexWindow::on_frame_rate_Slider_valueChanged(int value) {
    ui->rate_label_3->setText(QStringLiteral("%1 ms").arg(value));
    g_frameIntervalMs.store(value);
}

void LumivarexWindow::on_play_btn_clicked() {
    const QString name =
        playableFileName(ui->lineEdit->text(), QCoreApplication::applicationDirPath());
    const QByteArray localName = name.toLocal8Bit();
    // The name must fit fileName with its NUL and must not hide a NUL of its own.
    const bool fits = localName.size() < qsizetype(sizeof fileName) && !localName.contains('\0');
    if (!QFileInfo(name).isFile() || !fits) {
        QMessageBox::information(nullptr, QStringLiteral("Info"),
                                 QStringLiteral("Cannot find file"), QMessageBox::Ok,
                                 QMessageBox::NoButton);
        return;
    }
    // The running thread may still be reading fileName: end it before writing the new name.
    stopPlaybackThread();
    std::memcpy(fileName, localName.constData(), size_t(localName.size()) + 1);
    g_stopPlayback.store(false);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, playbackThread, this) == 0)
        g_playbackThread = thread;
}

void LumivarexWindow::on_pause_btn_clicked() {
    g_paused.store(!g_paused.load());
}

void LumivarexWindow::on_stop_btn_clicked() {
    stopPlaybackThread();
    streamDecoder.stop();
}

void LumivarexWindow::on_gp_create_btn_clicked() {
    on_create_window_btn_clicked();
}

void LumivarexWindow::on_gp_destroy_btn_clicked() {
    on_destroy_window_btn_clicked();
}

void LumivarexWindow::on_showmaximum_pushButton_clicked() {
    if (isMaximized())
        showNormal();
    else
        showMaximized();
}
