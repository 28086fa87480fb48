#pragma once

#include "stream_decoder.h"

#include <QMainWindow>

class Ui_LumivarexWindow;

// The bench's only top-level window: a frameless main window holding the video surface and the
// controls. Its slots run on the GUI thread and only flip flags, start and join worker threads,
// and create or destroy the video output.
class LumivarexWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit LumivarexWindow(QWidget* parent = nullptr);
    ~LumivarexWindow() override;

    // The name of the file to play, in the local 8-bit encoding, NUL-terminated. Written by the
    // play request while no playback thread runs; read once by the playback thread.
    char fileName[512];

    // The window's stream decoder. No control starts it; "stop" and closing the window stop it.
    StreamDecoder& decoder() { return streamDecoder; }

private slots:
    void on_create_window_btn_clicked();
    void on_destroy_window_btn_clicked();
    void on_load_picture_btn_clicked();
    void on_load_picture_2_btn_clicked();
    void on_change_display_mode_btn_clicked();
    void on_frame_rate_Slider_valueChanged(int value);
    void on_play_btn_clicked();
    void on_pause_btn_clicked();
    void on_stop_btn_clicked();
    void on_gp_create_btn_clicked();
    void on_gp_destroy_btn_clicked();
    void on_showmaximum_pushButton_clicked();

private:
    // Logs the widget's native id and gives it a grey background.
    void setQPalette(QWidget* widget);

    Ui_LumivarexWindow* ui;
    // Never started by the window's controls; stop also stops it.
    StreamDecoder streamDecoder;
};
