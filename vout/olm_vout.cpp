// The C interface and the registry of live outputs. Every call looks its handle up under the
// registry lock before touching anything, so a destroyed or made-up handle gets an error instead
// of a use of freed memory. Handles are tokens that are never reused, so a stale handle cannot
// alias a newer output either.

#include "olm_vout.h"
#include "output.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace {

std::mutex g_registryMutex;
std::unordered_map<olm_vout_t*, std::shared_ptr<olm_vout>> g_outputs;
uintptr_t g_lastToken = 0;

// Tokens look like aligned pointers but point nowhere: they are only ever compared. With 32-bit
// pointers they repeat after some 250 million outputs.
constexpr uintptr_t kTokenBase =
    sizeof(uintptr_t) >= 8 ? uintptr_t(uint64_t(0x0d1e) << 32) : uintptr_t(0x0d1e0000);

std::shared_ptr<olm_vout> findLive(olm_vout_t* handle) {
    std::lock_guard lock(g_registryMutex);
    auto it = g_outputs.find(handle);
    return it == g_outputs.end() ? nullptr : it->second;
}

olm_vout_t* createFailed(const char* why) {
    std::fprintf(stderr, "olm_vout: %s\n", why);
    return nullptr;
}

bool sizeAllowed(int32_t width, int32_t height) {
    return width > 0 && height > 0 && width <= OLM_VOUT_MAX_DIMENSION &&
           height <= OLM_VOUT_MAX_DIMENSION;
}

bool allZero(const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (bytes[i] != 0)
            return false;
    return true;
}

} // namespace

extern "C" {

olm_vout_t* olm_vout_create(const olm_vout_params* params) {
    if (!params)
        return createFailed("no creation record");
    if (!allZero(params->reserved, sizeof params->reserved))
        return createFailed("the reserved bytes of the creation record are not zero");
    if (params->window == 0)
        return createFailed("the window id is 0");
    int depth = static_cast<int>(params->pool_depth);
    if (params->pool_depth < OLM_VOUT_MIN_POOL_DEPTH ||
        params->pool_depth > OLM_VOUT_MAX_POOL_DEPTH)
        depth = OLM_VOUT_DEFAULT_POOL_DEPTH;

    // Nothing may throw past this C function: allocation failures become a NULL result.
    try {
        std::string error;
        std::shared_ptr<olm_vout> output =
            olm_vout::open(olm::openX11Backend, params->window, depth, &error);
        if (!output)
            return createFailed(error.c_str());
        std::lock_guard lock(g_registryMutex);
        auto* handle = reinterpret_cast<olm_vout_t*>(kTokenBase + ((g_lastToken + 1) << 4));
        g_outputs.emplace(handle, std::move(output));
        ++g_lastToken;
        return handle;
    } catch (const std::bad_alloc&) {
        // The output, if made, went with its last reference: its thread and window are gone.
        return createFailed("out of memory");
    }
}

int olm_vout_destroy(olm_vout_t** vout) {
    if (!vout)
        return OLM_VOUT_E_HANDLE;
    olm_vout_t* handle = __atomic_load_n(vout, __ATOMIC_ACQUIRE);
    std::shared_ptr<olm_vout> output;
    {
        std::lock_guard lock(g_registryMutex);
        auto it = g_outputs.find(handle);
        if (it == g_outputs.end())
            return OLM_VOUT_E_HANDLE;
        output = std::move(it->second);
        g_outputs.erase(it);
    }
    __atomic_store_n(vout, nullptr, __ATOMIC_RELEASE);
    // A put that found the output before it left the registry still holds a reference; it
    // finishes its copy into the pool and the memory goes with the last reference.
    output->shutDown();
    return OLM_VOUT_OK;
}

int olm_vout_get_display_mode(olm_vout_t* vout, int32_t* mode) {
    if (!mode)
        return OLM_VOUT_E_HANDLE;
    auto output = findLive(vout);
    if (!output)
        return OLM_VOUT_E_HANDLE;
    *mode = output->displayMode();
    return OLM_VOUT_OK;
}

int olm_vout_set_display_mode(olm_vout_t* vout, int32_t mode) {
    auto output = findLive(vout);
    if (!output)
        return OLM_VOUT_E_HANDLE;
    if (mode < VOUT_NORMAL || mode > VOUT_PREFERRED)
        return OLM_VOUT_E_INVALID;
    output->setDisplayMode(mode);
    return OLM_VOUT_OK;
}

int olm_vout_put_buffer_pool_yuv(olm_vout_t* vout, const uint8_t* y, const uint8_t* u,
                                 const uint8_t* v, int32_t stride, int32_t width, int32_t height) {
    const int64_t called = olm::monotonicMicros(); // latencies count from here
    if (!y || !u || !v)
        return OLM_VOUT_E_HANDLE;
    if (!sizeAllowed(width, height) || stride < width)
        return OLM_VOUT_E_INVALID;
    auto output = findLive(vout);
    if (!output)
        return OLM_VOUT_E_HANDLE;
    olm::PictureSource source;
    source.width = width;
    source.height = height;
    const int chromaStride = int((int64_t(stride) + 1) / 2);
    source.strides[0] = stride;
    source.strides[1] = source.strides[2] = chromaStride;
    source.planes[0] = y;
    source.planes[1] = u;
    source.planes[2] = v;
    source.putMicros = called;
    return output->put(source);
}

int olm_vout_put_picture(olm_vout_t* vout, const olm_vout_picture* picture) {
    const int64_t called = olm::monotonicMicros(); // latencies count from here
    if (!picture)
        return OLM_VOUT_E_HANDLE;
    // Either version of the record; a 1.0 caller's record ends before `rotation`.
    const uint32_t size = picture->struct_size;
    if (size != OLM_VOUT_PICTURE_SIZE_1_0 && size != OLM_VOUT_PICTURE_SIZE_1_1)
        return OLM_VOUT_E_INVALID;
    const olm_vout_picture& p = *picture;
    const int32_t rotation = size >= OLM_VOUT_PICTURE_SIZE_1_1 ? p.rotation : 0;
    if (!p.planes[0] || !p.planes[1] || !p.planes[2])
        return OLM_VOUT_E_HANDLE;
    if (!sizeAllowed(p.width, p.height))
        return OLM_VOUT_E_INVALID;
    const int32_t chromaWidth = (p.width + 1) / 2;
    if (p.strides[0] < p.width || p.strides[1] < chromaWidth || p.strides[2] < chromaWidth ||
        p.matrix < OLM_VOUT_MATRIX_BT601 || p.matrix > OLM_VOUT_MATRIX_SMPTE240M ||
        (p.range != OLM_VOUT_RANGE_LIMITED && p.range != OLM_VOUT_RANGE_FULL) || p.sar_num < 0 ||
        p.sar_den < 0 || (rotation != 0 && rotation != 90 && rotation != 180 && rotation != 270))
        return OLM_VOUT_E_INVALID;
    auto output = findLive(vout);
    if (!output)
        return OLM_VOUT_E_HANDLE;
    olm::PictureSource source;
    source.width = p.width;
    source.height = p.height;
    for (int i = 0; i < 3; ++i) {
        source.planes[i] = p.planes[i];
        source.strides[i] = p.strides[i];
    }
    source.format = {p.matrix, p.range, p.sar_num, p.sar_den, rotation};
    source.release = {p.release, p.opaque};
    source.putMicros = called;
    return output->put(source);
}

int olm_vout_get_timing(olm_vout_t* vout, olm_vout_timing* timing) {
    if (!timing)
        return OLM_VOUT_E_HANDLE;
    auto output = findLive(vout);
    if (!output)
        return OLM_VOUT_E_HANDLE;
    const uint32_t size = timing->struct_size;
    if (size < offsetof(olm_vout_timing, refresh_period_us))
        return OLM_VOUT_E_INVALID;
    olm_vout_timing t = output->timing().timing();
    // As much as the caller's record holds; its size stays what it said.
    std::memcpy(reinterpret_cast<char*>(timing) + sizeof t.struct_size,
                reinterpret_cast<const char*>(&t) + sizeof t.struct_size,
                std::min<size_t>(size, sizeof t) - sizeof t.struct_size);
    return OLM_VOUT_OK;
}

int olm_vout_get_presentations(olm_vout_t* vout, olm_vout_presentation* records, uint32_t capacity,
                               uint32_t* count) {
    if (!records || !count)
        return OLM_VOUT_E_HANDLE;
    auto output = findLive(vout);
    if (!output)
        return OLM_VOUT_E_HANDLE;
    *count = uint32_t(output->timing().copyHistory(records, capacity));
    return OLM_VOUT_OK;
}

int olm_vout_get_stats(olm_vout_t* vout, olm_vout_stats* stats) {
    if (!stats)
        return OLM_VOUT_E_HANDLE;
    auto output = findLive(vout);
    if (!output)
        return OLM_VOUT_E_HANDLE;
    *stats = output->stats();
    return OLM_VOUT_OK;
}

} // extern "C"
