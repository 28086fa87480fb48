#pragma once

// Reading a Wayland compositor's output back: Weston started with --debug lets its
// weston-screenshooter client save what the output shows, which is read in here.

#include <QImage>

// What the compositor named by $WAYLAND_DISPLAY shows now, the whole output (RGB32). A null image
// when it cannot be read (no compositor, screenshots not allowed, no weston-screenshooter).
QImage captureWaylandOutput();
