#pragma once

// Reading a headless Weston's pixels back, for tests on Wayland: the compositor (started with
// --debug) lets its screenshooter client save what the output shows, which is read in here.

#include "xhelpers.h"

// What the compositor named by $WAYLAND_DISPLAY shows now, the whole output. Empty snapshot when
// it cannot be read (no compositor, screenshots not allowed).
Snapshot grabWaylandScreen();
