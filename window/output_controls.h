#pragma once

// The video output's life as the window drives it: one output at most, kept in g_vout.

#include "olm_vout.h"

#include <QRect>
#include <QString>
#include <cstdint>

// Creates an output on the native X11 window unless one exists. False when none could be made.
bool createOutputOn(uint32_t nativeWindow);
// Creates an output covering rect of a Wayland surface (on the caller's connection) unless one
// exists. False when none could be made, also when the library takes no Wayland host. The
// output shows once the caller commits its surface.
bool createOutputOnSurface(wl_display* display, wl_surface* surface, const QRect& rect);
// Destroys the output if there is one; the library clears g_vout.
void destroyOutput();

// True while the current output draws in a Wayland surface.
bool outputIsOnWayland();
// Moves the Wayland output to rect of its surface (an empty rect hides it). True when the
// rectangle changed: the caller then commits its surface, which moves the output there.
// Nothing happens without a Wayland output.
bool moveOutputTo(const QRect& rect);

// The mode that follows current in the cycle NORMAL, PREFERRED, 16:9, 4:3.
int32_t nextDisplayMode(int32_t current);
// The name shown for a mode: "VOUT_NORMAL" and so on.
QString displayModeName(int32_t mode);
// Steps the output's display mode; returns the name of the new mode, or an empty string when
// there is no output or its mode cannot be read.
QString stepDisplayMode();
