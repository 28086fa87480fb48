#pragma once

// The video output's life as the window drives it: one output at most, kept in g_vout.

#include "olm_vout.h"

#include <QString>
#include <cstdint>

// Creates an output on the native window unless one exists. False when none could be made.
bool createOutputOn(uint32_t nativeWindow);
// Destroys the output if there is one; the library clears g_vout.
void destroyOutput();

// The mode that follows current in the cycle NORMAL, PREFERRED, 16:9, 4:3.
int32_t nextDisplayMode(int32_t current);
// The name shown for a mode: "VOUT_NORMAL" and so on.
QString displayModeName(int32_t mode);
// Steps the output's display mode; returns the name of the new mode, or an empty string when
// there is no output or its mode cannot be read.
QString stepDisplayMode();
