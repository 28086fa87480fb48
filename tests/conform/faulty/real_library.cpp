#include "real_library.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace {

template <typename F> F symbol(void* library, const char* name) {
    auto f = reinterpret_cast<F>(dlsym(library, name));
    if (!f) {
        std::fprintf(stderr, "faulty olm_vout: %s missing in %s\n", name, REAL_LIBRARY);
        std::abort();
    }
    return f;
}

} // namespace

const RealLibrary& real() {
    static const RealLibrary library = [] {
        void* handle = dlopen(REAL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            std::fprintf(stderr, "faulty olm_vout: %s\n", dlerror());
            std::abort();
        }
        return RealLibrary{
            symbol<decltype(&olm_vout_create)>(handle, "olm_vout_create"),
            symbol<decltype(&olm_vout_destroy)>(handle, "olm_vout_destroy"),
            symbol<decltype(&olm_vout_get_display_mode)>(handle, "olm_vout_get_display_mode"),
            symbol<decltype(&olm_vout_set_display_mode)>(handle, "olm_vout_set_display_mode"),
            symbol<decltype(&olm_vout_put_buffer_pool_yuv)>(handle, "olm_vout_put_buffer_pool_yuv"),
            symbol<decltype(&olm_vout_put_picture)>(handle, "olm_vout_put_picture"),
            symbol<decltype(&olm_vout_get_stats)>(handle, "olm_vout_get_stats"),
            symbol<decltype(&olm_vout_get_timing)>(handle, "olm_vout_get_timing"),
            symbol<decltype(&olm_vout_get_presentations)>(handle, "olm_vout_get_presentations"),
        };
    }();
    return library;
}
