#pragma once

// The video output on the video panel, on whichever platform the window runs.
//
// On X11 the output draws in the panel's native window and follows it by itself. On Wayland a
// widget has no surface of its own that shows (Qt never fills a native child's subsurface), so
// the output draws in the panel's rectangle of the top-level window's surface: the panel's moves,
// resizes and hiding are passed on to it, each followed by a commit of that surface, and the
// output is destroyed before the surface goes (the window hidden or closed).

#include <QRect>

class QWidget;

// True when the application runs on one of Qt's Wayland platforms.
bool runsOnWayland();

// Creates the output on the panel unless one exists. False when none could be made.
bool createOutputOnPanel(QWidget* panel);

// The panel's rectangle in its top-level window's surface: its place in the window, shifted by
// the window's frame margins where Qt draws the frame into the surface itself. Empty while the
// panel is not visible (its tab not shown, say).
QRect panelRectInSurface(const QWidget* panel);
