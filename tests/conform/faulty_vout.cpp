// An olm_vout with one deliberate fault, chosen when it is built (FAULT names a Fault). It
// exports every olm_vout function, loads the real library (REAL_LIBRARY, its build path) with
// dlopen and forwards to it, adding only its fault. olm_vout_conform must catch each one.

#include "olm_vout.h"

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

namespace {

enum class Fault {
    SwapUv,              // U and V planes swapped
    StrideIgnored,       // every stride taken as the plane's width
    WideAsFourThirds,    // VOUT_16_9 shown as VOUT_4_3, while get still says 16:9
    OffsetTwoPixels,     // the real output on a child of the host, 2 pixels right and down
    DestroyKeepsPointer, // destroy does not clear the caller's handle
    ReadsAfterReturn,    // put keeps the plane pointers and copies them a little later
    StaleHandleCrashes,  // any call with a handle it already destroyed dies with SIGSEGV
    DestroyHangs,        // destroy of a live output never returns
    ReleaseDropped,      // put_picture's release never called
    ReleaseTwice,        // put_picture's release called twice
    MatrixIgnored,       // every picture taken as BT.601
    RotationIgnored,     // put_picture's turn dropped: pictures shown as stored
    FirstRecordOnly,     // put_picture knows only the first record: a later one is refused
};
constexpr Fault kFault = Fault::FAULT;

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

template <typename F> F symbol(void* library, const char* name) {
    auto f = reinterpret_cast<F>(dlsym(library, name));
    if (!f) {
        std::fprintf(stderr, "faulty olm_vout: %s missing in %s\n", name, REAL_LIBRARY);
        std::abort();
    }
    return f;
}

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

// What some faults remember per output.
struct Offset {
    xcb_connection_t* conn;
    xcb_window_t child;
};
std::mutex g_mutex;
std::map<olm_vout_t*, int32_t> g_claimedMode; // WideAsFourThirds
std::map<olm_vout_t*, Offset> g_offsets;      // OffsetTwoPixels
std::set<olm_vout_t*> g_destroyed;            // StaleHandleCrashes

void crashIfStale(olm_vout_t* vout) {
    if constexpr (kFault == Fault::StaleHandleCrashes) {
        std::lock_guard lock(g_mutex);
        if (vout && g_destroyed.count(vout))
            raise(SIGSEGV);
    }
}

// A window of the host's size inside the host, 2 pixels right and down; 0 when it cannot.
[[maybe_unused]] Offset offsetChild(xcb_window_t host) {
    Offset offset{xcb_connect(nullptr, nullptr), 0};
    xcb_get_geometry_reply_t* geometry =
        xcb_get_geometry_reply(offset.conn, xcb_get_geometry(offset.conn, host), nullptr);
    if (!geometry)
        return offset;
    offset.child = xcb_generate_id(offset.conn);
    xcb_create_window(offset.conn, XCB_COPY_FROM_PARENT, offset.child, host, 2, 2, geometry->width,
                      geometry->height, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0,
                      nullptr);
    xcb_map_window(offset.conn, offset.child);
    free(xcb_get_input_focus_reply(offset.conn, xcb_get_input_focus(offset.conn), nullptr));
    free(geometry);
    return offset;
}

struct ReleaseTwiceRecord {
    void (*release)(void*);
    void* opaque;
};

[[maybe_unused]] void releaseTwice(void* opaque) {
    auto* record = static_cast<ReleaseTwiceRecord*>(opaque);
    record->release(record->opaque);
    record->release(record->opaque);
    delete record;
}

void applyPictureFault(olm_vout_picture& p) {
    if constexpr (kFault == Fault::SwapUv) {
        std::swap(p.planes[1], p.planes[2]);
        std::swap(p.strides[1], p.strides[2]);
    } else if constexpr (kFault == Fault::StrideIgnored) {
        p.strides[0] = p.width;
        p.strides[1] = p.strides[2] = (p.width + 1) / 2;
    } else if constexpr (kFault == Fault::MatrixIgnored) {
        p.matrix = OLM_VOUT_MATRIX_BT601;
    } else if constexpr (kFault == Fault::ReleaseDropped) {
        p.release = nullptr; // the real library then copies, and nobody tells the caller
    } else if constexpr (kFault == Fault::RotationIgnored) {
        p.rotation = 0;
    }
}

} // namespace

extern "C" {

OLM_VOUT_API olm_vout_t* olm_vout_create(const olm_vout_params* params) {
    if constexpr (kFault == Fault::OffsetTwoPixels) {
        if (params && params->window) {
            const Offset offset = offsetChild(params->window);
            olm_vout_params moved = *params;
            moved.window = offset.child;
            olm_vout_t* vout = offset.child ? real().create(&moved) : nullptr;
            if (!vout) {
                xcb_disconnect(offset.conn);
                return nullptr;
            }
            std::lock_guard lock(g_mutex);
            g_offsets[vout] = offset;
            return vout;
        }
    }
    olm_vout_t* vout = real().create(params);
    std::lock_guard lock(g_mutex);
    g_destroyed.erase(vout);
    return vout;
}

OLM_VOUT_API int olm_vout_destroy(olm_vout_t** vout) {
    olm_vout_t* handle = vout ? *vout : nullptr;
    crashIfStale(handle);
    if constexpr (kFault == Fault::DestroyHangs) {
        int32_t mode;
        if (handle && real().getDisplayMode(handle, &mode) == OLM_VOUT_OK)
            for (;;)
                pause();
    }
    const int code = real().destroy(vout);
    std::lock_guard lock(g_mutex);
    if (code == OLM_VOUT_OK) {
        g_destroyed.insert(handle);
        g_claimedMode.erase(handle);
        if (auto it = g_offsets.find(handle); it != g_offsets.end()) {
            xcb_disconnect(it->second.conn); // its child window goes with the connection
            g_offsets.erase(it);
        }
        if constexpr (kFault == Fault::DestroyKeepsPointer)
            *vout = handle;
    }
    return code;
}

OLM_VOUT_API int olm_vout_get_display_mode(olm_vout_t* vout, int32_t* mode) {
    crashIfStale(vout);
    const int code = real().getDisplayMode(vout, mode);
    std::lock_guard lock(g_mutex);
    if (auto it = g_claimedMode.find(vout); code == OLM_VOUT_OK && it != g_claimedMode.end())
        *mode = it->second;
    return code;
}

OLM_VOUT_API int olm_vout_set_display_mode(olm_vout_t* vout, int32_t mode) {
    crashIfStale(vout);
    if constexpr (kFault == Fault::WideAsFourThirds) {
        const int code = real().setDisplayMode(vout, mode == VOUT_16_9 ? VOUT_4_3 : mode);
        std::lock_guard lock(g_mutex);
        if (code == OLM_VOUT_OK && mode == VOUT_16_9)
            g_claimedMode[vout] = mode;
        else if (code == OLM_VOUT_OK)
            g_claimedMode.erase(vout);
        return code;
    }
    return real().setDisplayMode(vout, mode);
}

OLM_VOUT_API int olm_vout_put_buffer_pool_yuv(olm_vout_t* vout, const uint8_t* y, const uint8_t* u,
                                              const uint8_t* v, int32_t stride, int32_t width,
                                              int32_t height) {
    crashIfStale(vout);
    if constexpr (kFault == Fault::SwapUv)
        std::swap(u, v);
    if constexpr (kFault == Fault::StrideIgnored)
        stride = width;
    if constexpr (kFault == Fault::ReadsAfterReturn) {
        std::thread([=] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            real().putBufferPoolYuv(vout, y, u, v, stride, width, height);
        }).detach();
        return OLM_VOUT_OK;
    }
    return real().putBufferPoolYuv(vout, y, u, v, stride, width, height);
}

OLM_VOUT_API int olm_vout_put_picture(olm_vout_t* vout, const olm_vout_picture* picture) {
    crashIfStale(vout);
    if (!picture)
        return real().putPicture(vout, picture);
    if constexpr (kFault == Fault::FirstRecordOnly) {
        if (picture->struct_size != OLM_VOUT_PICTURE_SIZE_1_0)
            return OLM_VOUT_E_INVALID;
    }
    // As much of the record as the caller says it has.
    olm_vout_picture p{};
    std::memcpy(&p, picture, std::min<size_t>(picture->struct_size, sizeof p));
    applyPictureFault(p);
    if constexpr (kFault == Fault::ReadsAfterReturn) {
        if (!p.release) {
            std::thread([=] {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                real().putPicture(vout, &p);
            }).detach();
            return OLM_VOUT_OK;
        }
    }
    if constexpr (kFault == Fault::ReleaseTwice) {
        if (p.release) {
            auto* twice = new ReleaseTwiceRecord{p.release, p.opaque};
            p.release = &releaseTwice;
            p.opaque = twice;
            const int code = real().putPicture(vout, &p);
            if (code != OLM_VOUT_OK)
                delete twice;
            return code;
        }
    }
    return real().putPicture(vout, &p);
}

OLM_VOUT_API int olm_vout_get_stats(olm_vout_t* vout, olm_vout_stats* stats) {
    crashIfStale(vout);
    return real().getStats(vout, stats);
}

OLM_VOUT_API int olm_vout_get_timing(olm_vout_t* vout, olm_vout_timing* timing) {
    crashIfStale(vout);
    return real().getTiming(vout, timing);
}

OLM_VOUT_API int olm_vout_get_presentations(olm_vout_t* vout, olm_vout_presentation* records,
                                            uint32_t capacity, uint32_t* count) {
    crashIfStale(vout);
    return real().getPresentations(vout, records, capacity, count);
}

} // extern "C"
