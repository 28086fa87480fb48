#pragma once

// The functions of olm_vout beyond the five that every version has, looked up in the loaded
// library at run time. A pointer is null when the library lacks that function, and the caller
// falls back to the five; nothing here makes the program need a newer library to start.

#include "olm_vout.h"

struct VoutExtensions {
    int (*putPicture)(olm_vout_t*, const olm_vout_picture*) = nullptr;
    // Present only in a library that takes Wayland hosts.
    int (*setVideoRect)(olm_vout_t*, int32_t, int32_t, int32_t, int32_t) = nullptr;
};

// Looked up once, on first use, from any thread (also before the application object exists).
const VoutExtensions& voutExtensions();
