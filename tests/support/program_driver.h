#pragma once

// Drives a lumivarex program running in another process, through the X server, as a user does:
// finds its window, clicks its buttons where they sit and samples its video surface. Where a
// control sits is asked of a window built in this process on the same server with the same fonts,
// since the program's own window lays out identically. Needs a QApplication on the xcb platform.

#include "xhelpers.h"

#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QString>

#include <vector>

// The program's top-level window (0 when it did not appear within timeoutMs).
uint32_t waitForProgramWindow(const QProcess& process, int timeoutMs = 10000);
// Where a button or the video surface sits in the window, in window coordinates.
QPoint buttonCentre(const char* name);
QRect videoArea();
// A pointer click at a place in the window, through the X server.
bool clickAt(uint32_t window, const QPoint& at);
// The pixels of a rectangle of the window, sampled on a grid.
std::vector<Rgb> sampleArea(uint32_t window, const QRect& area);
// Reads the program's standard output until it holds text; everything read goes to *out.
bool waitForOutput(QProcess& process, const QString& text, int timeoutMs, QString* out);
// Waits for the program to exit by itself with code 0 and nothing alarming on standard error;
// otherwise ends it and says why. What it read of standard error goes to *standardError when
// given.
bool cleanExit(QProcess& process, QString* why, QString* standardError = nullptr);
