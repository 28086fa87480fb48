#pragma once

// The real olm_vout that the faulty library wraps, loaded from REAL_LIBRARY (its build path).

#include "olm_vout.h"

struct RealLibrary {
    decltype(&olm_vout_create) create;
    decltype(&olm_vout_destroy) destroy;
    decltype(&olm_vout_get_display_mode) getDisplayMode;
    decltype(&olm_vout_set_display_mode) setDisplayMode;
    decltype(&olm_vout_put_buffer_pool_yuv) putBufferPoolYuv;
    decltype(&olm_vout_put_picture) putPicture;
    decltype(&olm_vout_get_stats) getStats;
    decltype(&olm_vout_get_timing) getTiming;
    decltype(&olm_vout_get_presentations) getPresentations;
};

// Loaded on first use; aborts when the real library or one of its functions is missing.
const RealLibrary& real();
