#include "vout_extensions.h"

#include <dlfcn.h>

namespace {

template <typename Function> Function lookUp(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_DEFAULT, name));
}

} // namespace

const VoutExtensions& voutExtensions() {
    static const VoutExtensions extensions = [] {
        VoutExtensions e;
        e.putPicture = lookUp<decltype(e.putPicture)>("olm_vout_put_picture");
        e.setVideoRect = lookUp<decltype(e.setVideoRect)>("olm_vout_set_video_rect");
        return e;
    }();
    return extensions;
}
