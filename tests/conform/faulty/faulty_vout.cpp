// An olm_vout with one deliberate fault (faults.h), chosen by the library's file name. It
// exports every olm_vout function, loads the real library (REAL_LIBRARY, its build path) with
// dlopen and forwards to it, adding only its fault. olm_vout_conform must catch each one.

#include "faults.h"
#include "real_library.h"

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>

namespace {

bool is(Fault fault) {
    return activeFault() == fault;
}

// What some faults remember per output.
struct Offset {
    xcb_connection_t* conn;
    xcb_window_t child;
};
std::mutex g_mutex;
std::map<olm_vout_t*, int32_t> g_claimedMode;      // the mode get reports, where it is not the real
std::map<olm_vout_t*, Offset> g_offsets;           // OffsetTwoPixels
std::map<olm_vout_t*, xcb_connection_t*> g_leaked; // LeaksConnection (never closed)
std::set<olm_vout_t*> g_destroyed;                 // StaleHandle*
std::set<uint32_t> g_windowsUsed;                  // SecondCreateFails
std::atomic<int> g_putsRunning{0};                 // RacyRelease
std::atomic<int64_t> g_lastPutMs{0};               // DestroyRefusedWhileBusy

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A put's result as StaleHandleInvalid reports it.
int staleAsInvalid(int code) {
    return is(Fault::StaleHandleInvalid) && code == OLM_VOUT_E_HANDLE ? OLM_VOUT_E_INVALID : code;
}

bool isStale(olm_vout_t* vout) {
    std::lock_guard lock(g_mutex);
    return vout && g_destroyed.count(vout);
}

void crashIfStale(olm_vout_t* vout) {
    if (is(Fault::StaleHandleCrashes) && isStale(vout))
        raise(SIGSEGV);
}

// A window of the host's size inside the host, 2 pixels right and down; 0 when it cannot.
Offset offsetChild(xcb_window_t host) {
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

void releaseTwice(void* opaque) {
    auto* record = static_cast<ReleaseTwiceRecord*>(opaque);
    record->release(record->opaque);
    record->release(record->opaque);
    delete record;
}

void applyRecordFaults(olm_vout_picture& p) {
    switch (activeFault()) {
    case Fault::MatrixIgnored:
        p.matrix = OLM_VOUT_MATRIX_BT601;
        break;
    case Fault::RangeIgnored:
        p.range = OLM_VOUT_RANGE_LIMITED;
        break;
    case Fault::SarIgnored:
        p.sar_num = p.sar_den = 0;
        break;
    case Fault::ReleaseDropped:
        p.release = nullptr; // the real library then copies, and nobody tells the caller
        break;
    case Fault::RotationIgnored:
        p.rotation = 0;
        break;
    case Fault::RotationWrapped:
        p.rotation = ((p.rotation % 360) + 360) % 360;
        break;
    default:
        break;
    }
}

// The one X round trip of PutWaitsForServer: an output's own connection waiting for an answer.
void roundTrip() {
    static xcb_connection_t* conn = xcb_connect(nullptr, nullptr);
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr));
}

// The render thread of ThreadOutlivesDestroy, one per output: it runs until told to stop, then
// finishes its last picture.
struct RenderThread {
    std::atomic<bool> stop{false};
    std::thread thread;
};
std::map<olm_vout_t*, RenderThread*> g_renderThreads;

void startRenderThread(olm_vout_t* vout) {
    auto* render = new RenderThread;
    render->thread = std::thread([render] {
        while (!render->stop.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        delete render;
    });
    g_renderThreads[vout] = render;
}

// Stops vout's render thread without waiting for it: detached, it ends on its own.
void detachRenderThread(olm_vout_t* vout) {
    const auto it = g_renderThreads.find(vout);
    if (it == g_renderThreads.end())
        return;
    RenderThread* render = it->second;
    g_renderThreads.erase(it);
    render->thread.detach();
    render->stop.store(true);
}

// InputOnlyParentTaken: the window an output is made on, the parent of an input-only one.
uint32_t drawableWindow(uint32_t window) {
    static xcb_connection_t* conn = xcb_connect(nullptr, nullptr);
    auto* attributes =
        xcb_get_window_attributes_reply(conn, xcb_get_window_attributes(conn, window), nullptr);
    const bool inputOnly = attributes && attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY;
    std::free(attributes);
    if (!inputOnly)
        return window;
    auto* tree = xcb_query_tree_reply(conn, xcb_query_tree(conn, window), nullptr);
    const uint32_t parent = tree ? tree->parent : window;
    std::free(tree);
    return parent;
}

// FirstDisplayKept: the real create run with $DISPLAY as it was at the first create.
olm_vout_t* createOnFirstDisplay(const olm_vout_params& record) {
    static std::string first;
    const char* now = std::getenv("DISPLAY");
    const std::string current = now ? now : "";
    if (first.empty())
        first = current;
    setenv("DISPLAY", first.c_str(), 1);
    olm_vout_t* vout = real().create(&record);
    if (now)
        setenv("DISPLAY", current.c_str(), 1);
    else
        unsetenv("DISPLAY");
    return vout;
}

bool tooLarge(int32_t width, int32_t height) {
    return is(Fault::MaximumRefused) &&
           (width >= OLM_VOUT_MAX_DIMENSION || height >= OLM_VOUT_MAX_DIMENSION);
}

// The record with the size and planes a fault gave it.
olm_vout_picture withPlanes(olm_vout_picture p, const Planes& planes) {
    p.width = planes.width;
    p.height = planes.height;
    for (int i = 0; i < 3; ++i) {
        p.planes[i] = planes.planes[i];
        p.strides[i] = planes.strides[i];
    }
    return p;
}

} // namespace

extern "C" {

OLM_VOUT_API olm_vout_t* olm_vout_create(const olm_vout_params* params) {
    olm_vout_params record = params ? *params : olm_vout_params{};
    if (params && is(Fault::ReservedIgnored))
        std::memset(record.reserved, 0, sizeof record.reserved);
    if (params && is(Fault::PoolDepthOneRefused) && params->pool_depth == 1)
        return nullptr;
    if (params && is(Fault::DepthSixteenAsDefault) && params->pool_depth == 16)
        record.pool_depth = 0;
    if (params && params->window && is(Fault::InputOnlyParentTaken))
        record.window = drawableWindow(params->window);
    if (params && is(Fault::SecondCreateFails)) {
        std::lock_guard lock(g_mutex);
        if (!g_windowsUsed.insert(params->window).second)
            return nullptr;
    }
    xcb_connection_t* leaked = is(Fault::LeaksConnection) ? xcb_connect(nullptr, nullptr) : nullptr;
    if (params && params->window && is(Fault::OffsetTwoPixels)) {
        const Offset offset = offsetChild(params->window);
        record.window = offset.child;
        olm_vout_t* vout = offset.child ? real().create(&record) : nullptr;
        if (!vout) {
            xcb_disconnect(offset.conn);
            return nullptr;
        }
        std::lock_guard lock(g_mutex);
        g_offsets[vout] = offset;
        return vout;
    }
    olm_vout_t* vout = params && is(Fault::FirstDisplayKept)
                           ? createOnFirstDisplay(record)
                           : real().create(params ? &record : nullptr);
    if (vout)
        rememberHost(vout, record.window);
    std::lock_guard lock(g_mutex);
    g_destroyed.erase(vout);
    if (vout && leaked)
        g_leaked[vout] = leaked;
    if (vout && is(Fault::ThreadOutlivesDestroy))
        startRenderThread(vout);
    return vout;
}

OLM_VOUT_API int olm_vout_destroy(olm_vout_t** vout) {
    olm_vout_t* handle = vout ? *vout : nullptr;
    crashIfStale(handle);
    if (is(Fault::StaleHandleInvalid) && isStale(handle))
        return OLM_VOUT_E_INVALID;
    if (is(Fault::DestroyRefusedWhileBusy) && handle && nowMs() - g_lastPutMs < 50)
        return OLM_VOUT_E_BUSY;
    if (is(Fault::DestroyHangs)) {
        int32_t mode;
        if (handle && real().getDisplayMode(handle, &mode) == OLM_VOUT_OK)
            for (;;)
                pause();
    }
    if (is(Fault::DestroyWaitsForServer) && handle)
        roundTrip();
    if (is(Fault::DestroyWaitsForHost) && handle) {
        int32_t mode;
        if (real().getDisplayMode(handle, &mode) == OLM_VOUT_OK)
            while (hostWidth(handle) == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const int code = real().destroy(vout);
    std::lock_guard lock(g_mutex);
    if (code == OLM_VOUT_OK) {
        detachRenderThread(handle);
        g_destroyed.insert(handle);
        g_claimedMode.erase(handle);
        rememberHost(handle, 0);
        if (auto it = g_offsets.find(handle); it != g_offsets.end()) {
            xcb_disconnect(it->second.conn); // its child window goes with the connection
            g_offsets.erase(it);
        }
        if (is(Fault::DestroyKeepsPointer))
            *vout = handle;
    }
    return code;
}

OLM_VOUT_API int olm_vout_get_display_mode(olm_vout_t* vout, int32_t* mode) {
    crashIfStale(vout);
    if (is(Fault::StaleHandleInvalid) && isStale(vout))
        return OLM_VOUT_E_INVALID;
    if (is(Fault::NullModeWritten) && !mode) {
        int32_t real_mode = 0;
        real().getDisplayMode(vout, &real_mode);
        int32_t* volatile target = mode;
        *target = real_mode; // through the NULL pointer
    }
    const int code = real().getDisplayMode(vout, mode);
    std::lock_guard lock(g_mutex);
    if (auto it = g_claimedMode.find(vout); code == OLM_VOUT_OK && it != g_claimedMode.end())
        *mode = it->second;
    if (code == OLM_VOUT_OK && is(Fault::GetResultOne))
        return 1;
    return code;
}

OLM_VOUT_API int olm_vout_set_display_mode(olm_vout_t* vout, int32_t mode) {
    crashIfStale(vout);
    if (is(Fault::StaleHandleInvalid) && isStale(vout))
        return OLM_VOUT_E_INVALID;
    if (is(Fault::SetIgnored)) {
        int32_t current;
        return real().getDisplayMode(vout, &current);
    }
    if (is(Fault::ModeWrapped))
        mode = ((mode % 4) + 4) % 4;
    int32_t shown = mode;
    if (is(Fault::WideAsFourThirds) && mode == VOUT_16_9)
        shown = VOUT_4_3;
    if (is(Fault::ModesRotated) && mode >= VOUT_NORMAL && mode <= VOUT_PREFERRED)
        shown = (mode + 1) % 4;
    const int code = real().setDisplayMode(vout, shown);
    std::lock_guard lock(g_mutex);
    if (code == OLM_VOUT_OK && shown != mode)
        g_claimedMode[vout] = mode;
    else if (code == OLM_VOUT_OK)
        g_claimedMode.erase(vout);
    return code;
}

OLM_VOUT_API int olm_vout_put_buffer_pool_yuv(olm_vout_t* vout, const uint8_t* y, const uint8_t* u,
                                              const uint8_t* v, int32_t stride, int32_t width,
                                              int32_t height) {
    crashIfStale(vout);
    if (is(Fault::StaleHandleInvalid) && isStale(vout))
        return OLM_VOUT_E_INVALID;
    if (is(Fault::PutWaitsForServer))
        roundTrip();
    g_lastPutMs = nowMs();
    if (tooLarge(width, height))
        return OLM_VOUT_E_INVALID;
    if (is(Fault::PutsSwallowed))
        return y && u && v && width > 0 && height > 0 && stride >= width ? OLM_VOUT_OK
                                                                         : OLM_VOUT_E_INVALID;
    if (is(Fault::ReadsAfterReturn)) {
        std::thread([=] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            real().putBufferPoolYuv(vout, y, u, v, stride, width, height);
        }).detach();
        return OLM_VOUT_OK;
    }
    if (!y || !u || !v || width <= 0 || height <= 0 || stride < width)
        return staleAsInvalid(real().putBufferPoolYuv(vout, y, u, v, stride, width, height));
    Planes p;
    p.width = width;
    p.height = height;
    p.strides[0] = stride;
    p.strides[1] = p.strides[2] = (stride + 1) / 2;
    p.planes[0] = y;
    p.planes[1] = u;
    p.planes[2] = v;
    if (is(Fault::StrideIgnored) || is(Fault::SwapUv) || is(Fault::EvenSizesOnly) ||
        is(Fault::ScalingSwapsUv) || is(Fault::ChromaRowLate) || is(Fault::Blurred)) {
        applyPlaneFaults(vout, p);
        if (p.strides[1] != (p.strides[0] + 1) / 2 || p.strides[2] != p.strides[1]) {
            // The five-function put has one stride: go through the picture record.
            olm_vout_picture r{};
            r.struct_size = OLM_VOUT_PICTURE_SIZE_1_0;
            r.width = p.width;
            r.height = p.height;
            for (int i = 0; i < 3; ++i) {
                r.planes[i] = p.planes[i];
                r.strides[i] = p.strides[i];
            }
            return real().putPicture(vout, &r);
        }
    }
    return staleAsInvalid(real().putBufferPoolYuv(vout, p.planes[0], p.planes[1], p.planes[2],
                                                  p.strides[0], p.width, p.height));
}

OLM_VOUT_API int olm_vout_put_picture(olm_vout_t* vout, const olm_vout_picture* picture) {
    crashIfStale(vout);
    if (is(Fault::StaleHandleInvalid) && isStale(vout))
        return OLM_VOUT_E_INVALID;
    if (is(Fault::PutWaitsForServer))
        roundTrip();
    if (!picture)
        return real().putPicture(vout, picture);
    if (is(Fault::FirstRecordOnly) && picture->struct_size != OLM_VOUT_PICTURE_SIZE_1_0)
        return OLM_VOUT_E_INVALID;
    if (tooLarge(picture->width, picture->height))
        return OLM_VOUT_E_INVALID;
    // As much of the record as the caller says it has (or, faultily, the whole record).
    olm_vout_picture p{};
    const bool whole =
        is(Fault::FirstRecordRotation) && picture->struct_size == OLM_VOUT_PICTURE_SIZE_1_0;
    std::memcpy(&p, picture, whole ? sizeof p : std::min<size_t>(picture->struct_size, sizeof p));
    if (whole)
        p.struct_size = OLM_VOUT_PICTURE_SIZE_1_1;
    applyRecordFaults(p);
    if (is(Fault::PutsSwallowed))
        return p.planes[0] && p.width > 0 && p.height > 0 ? OLM_VOUT_OK : OLM_VOUT_E_INVALID;
    if (is(Fault::ReadsAfterReturn) && !p.release) {
        std::thread([=] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            real().putPicture(vout, &p);
        }).detach();
        return OLM_VOUT_OK;
    }
    Planes planes;
    planes.width = p.width;
    planes.height = p.height;
    for (int i = 0; i < 3; ++i) {
        planes.planes[i] = p.planes[i];
        planes.strides[i] = p.strides[i];
    }
    if (p.planes[0] && p.planes[1] && p.planes[2] && p.width > 0 && p.height > 0 &&
        applyPlaneFaults(vout, planes)) {
        // Planes of the fault's own: copied by the real library, the caller's given back.
        olm_vout_picture copy = withPlanes(p, planes);
        copy.release = nullptr;
        const int code = real().putPicture(vout, &copy);
        if (code == OLM_VOUT_OK && p.release)
            p.release(p.opaque);
        return code;
    }
    p = withPlanes(p, planes);
    const bool racing = is(Fault::RacyRelease) && g_putsRunning.fetch_add(1) > 0;
    if (is(Fault::RacyRelease)) // a put that takes a while, as one converting a large picture
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    if ((is(Fault::ReleaseTwice) || racing) && p.release) {
        auto* twice = new ReleaseTwiceRecord{p.release, p.opaque};
        p.release = &releaseTwice;
        p.opaque = twice;
        const int code = real().putPicture(vout, &p);
        if (code != OLM_VOUT_OK)
            delete twice;
        if (is(Fault::RacyRelease))
            g_putsRunning.fetch_sub(1);
        return code;
    }
    const int code = staleAsInvalid(real().putPicture(vout, &p));
    if (is(Fault::RacyRelease) && !racing)
        g_putsRunning.fetch_sub(1);
    return code;
}

OLM_VOUT_API int olm_vout_get_stats(olm_vout_t* vout, olm_vout_stats* stats) {
    crashIfStale(vout);
    if (is(Fault::StaleHandleInvalid) && isStale(vout))
        return OLM_VOUT_E_INVALID;
    const int code = real().getStats(vout, stats);
    if (code == OLM_VOUT_OK && is(Fault::StatsDroppedAsPresented)) {
        stats->presented += stats->dropped;
        stats->dropped = 0;
    }
    return code;
}

OLM_VOUT_API int olm_vout_get_timing(olm_vout_t* vout, olm_vout_timing* timing) {
    crashIfStale(vout);
    if (is(Fault::StaleHandleInvalid) && isStale(vout))
        return OLM_VOUT_E_INVALID;
    if (timing && is(Fault::TimingWholeRecord) && timing->struct_size >= 8) {
        olm_vout_timing whole{};
        whole.struct_size = sizeof whole;
        const int code = real().getTiming(vout, &whole);
        if (code == OLM_VOUT_OK)
            std::memcpy(timing, &whole, sizeof whole);
        return code;
    }
    const int code = real().getTiming(vout, timing);
    if (code == OLM_VOUT_OK && is(Fault::LatencyInMs) && timing->struct_size >= sizeof *timing) {
        timing->latency_p50_us /= 1000;
        timing->latency_p95_us /= 1000;
        timing->latency_max_us /= 1000;
    }
    if (code == OLM_VOUT_OK && is(Fault::PathMisreported) && timing->struct_size >= 8 &&
        timing->path == OLM_VOUT_PATH_PRESENT)
        timing->path = OLM_VOUT_PATH_PUT_IMAGE;
    return code;
}

OLM_VOUT_API int olm_vout_get_presentations(olm_vout_t* vout, olm_vout_presentation* records,
                                            uint32_t capacity, uint32_t* count) {
    crashIfStale(vout);
    if (is(Fault::StaleHandleInvalid) && isStale(vout))
        return OLM_VOUT_E_INVALID;
    const int code = real().getPresentations(vout, records, capacity, count);
    if (code == OLM_VOUT_OK && is(Fault::LatencyInMs))
        for (uint32_t i = 0; i < *count; ++i)
            records[i].latency_us /= 1000;
    return code;
}

} // extern "C"
