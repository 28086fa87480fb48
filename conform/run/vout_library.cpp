#include "run/vout_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>

#ifndef CONFORM_INSTALL_LIBDIR
#define CONFORM_INSTALL_LIBDIR "lib"
#endif

namespace {

constexpr const char* kLibraryFile = "libolm_vout.so.1";

template <typename F> void lookUp(void* handle, const char* name, F& slot) {
    slot = reinterpret_cast<F>(dlsym(handle, name));
}

} // namespace

std::vector<std::string> VoutApi::missingRequired() const {
    std::vector<std::string> missing;
    if (!create)
        missing.push_back("olm_vout_create");
    if (!destroy)
        missing.push_back("olm_vout_destroy");
    if (!getDisplayMode)
        missing.push_back("olm_vout_get_display_mode");
    if (!setDisplayMode)
        missing.push_back("olm_vout_set_display_mode");
    if (!putBufferPoolYuv)
        missing.push_back("olm_vout_put_buffer_pool_yuv");
    return missing;
}

bool VoutApi::has(const std::string& symbol) const {
    if (symbol == "olm_vout_put_picture")
        return putPicture;
    if (symbol == "olm_vout_get_stats")
        return getStats;
    if (symbol == "olm_vout_get_timing")
        return getTiming;
    if (symbol == "olm_vout_get_presentations")
        return getPresentations;
    if (symbol == "olm_vout_set_video_rect")
        return setVideoRect;
    for (const std::string& missing : missingRequired())
        if (missing == symbol)
            return false;
    return true;
}

LoadedLibrary loadVoutLibrary(const std::string& path) {
    LoadedLibrary loaded;
    // A name without a slash would be searched for on the library path; the user named a file.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        loaded.error = why ? why : "dlopen failed";
        return loaded;
    }
    VoutApi& api = loaded.api;
    lookUp(handle, "olm_vout_create", api.create);
    lookUp(handle, "olm_vout_destroy", api.destroy);
    lookUp(handle, "olm_vout_get_display_mode", api.getDisplayMode);
    lookUp(handle, "olm_vout_set_display_mode", api.setDisplayMode);
    lookUp(handle, "olm_vout_put_buffer_pool_yuv", api.putBufferPoolYuv);
    lookUp(handle, "olm_vout_put_picture", api.putPicture);
    lookUp(handle, "olm_vout_get_stats", api.getStats);
    lookUp(handle, "olm_vout_get_timing", api.getTiming);
    lookUp(handle, "olm_vout_get_presentations", api.getPresentations);
    lookUp(handle, "olm_vout_set_video_rect", api.setVideoRect);
    return loaded;
}

std::vector<std::string> defaultLibraryCandidates() {
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return {};
    const auto prefix = program.parent_path().parent_path();
    std::vector<std::string> candidates{(prefix / "lib" / kLibraryFile).string()};
    const auto installed = (prefix / CONFORM_INSTALL_LIBDIR / kLibraryFile).string();
    if (installed != candidates.front())
        candidates.push_back(installed);
    return candidates;
}

std::string defaultLibraryPath() {
    for (const std::string& candidate : defaultLibraryCandidates())
        if (access(candidate.c_str(), R_OK) == 0)
            return candidate;
    return {};
}
