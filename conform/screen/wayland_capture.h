#pragma once

// Reading a Wayland compositor's output back: Weston started with --debug lets its
// weston-screenshooter client save what the output shows; on sway and other wlroots compositors
// grim saves it through wlr-screencopy. The saved picture is read in here.

#include <QImage>

// What the compositor named by $WAYLAND_DISPLAY shows now, the whole output (RGB32). A null image
// when it cannot be read (no compositor, screenshots not allowed, neither tool installed).
QImage captureWaylandOutput();
