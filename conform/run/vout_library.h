#pragma once

// The library under test, loaded with dlopen: its functions looked up by name. The five every
// olm_vout has are required; each extension may be missing (null).

#include "olm_vout.h"

#include <string>
#include <vector>

struct VoutApi {
    decltype(&olm_vout_create) create = nullptr;
    decltype(&olm_vout_destroy) destroy = nullptr;
    decltype(&olm_vout_get_display_mode) getDisplayMode = nullptr;
    decltype(&olm_vout_set_display_mode) setDisplayMode = nullptr;
    decltype(&olm_vout_put_buffer_pool_yuv) putBufferPoolYuv = nullptr;
    // Extensions.
    decltype(&olm_vout_put_picture) putPicture = nullptr;
    decltype(&olm_vout_get_stats) getStats = nullptr;
    decltype(&olm_vout_get_timing) getTiming = nullptr;
    decltype(&olm_vout_get_presentations) getPresentations = nullptr;
    decltype(&olm_vout_set_video_rect) setVideoRect = nullptr;

    // Names of the five required functions the library lacks.
    std::vector<std::string> missingRequired() const;
    // Whether the library exports the named function.
    bool has(const std::string& symbol) const;
};

struct LoadedLibrary {
    VoutApi api;
    std::string error; // empty when loaded
};

// dlopen(path) and dlsym of every function; the library stays loaded for the process's life.
LoadedLibrary loadVoutLibrary(const std::string& path);

// The project's own library, found as the bench finds its lib/: beside the program's directory
// (bin/../lib, in the build tree and installed), or in the installed library directory.
// Empty when none of the places holds it.
std::string defaultLibraryPath();
// The places defaultLibraryPath looks at, for the message when it finds nothing.
std::vector<std::string> defaultLibraryCandidates();
