// Which fault this library adds, and the faults that change a picture's planes.

#include "faults.h"

#include <dlfcn.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

constexpr struct {
    const char* name;
    Fault fault;
} kNames[] = {
    {"swap_uv", Fault::SwapUv},
    {"stride_ignored", Fault::StrideIgnored},
    {"matrix_ignored", Fault::MatrixIgnored},
    {"range_ignored", Fault::RangeIgnored},
    {"sar_ignored", Fault::SarIgnored},
    {"rotation_ignored", Fault::RotationIgnored},
    {"even_sizes_only", Fault::EvenSizesOnly},
    {"scaling_swaps_uv", Fault::ScalingSwapsUv},
    {"chroma_row_late", Fault::ChromaRowLate},
    {"blurred", Fault::Blurred},
    {"reads_after_return", Fault::ReadsAfterReturn},
    {"first_record_only", Fault::FirstRecordOnly},
    {"first_record_rotation", Fault::FirstRecordRotation},
    {"rotation_wrapped", Fault::RotationWrapped},
    {"maximum_refused", Fault::MaximumRefused},
    {"reserved_ignored", Fault::ReservedIgnored},
    {"pool_depth_one_refused", Fault::PoolDepthOneRefused},
    {"mode_wrapped", Fault::ModeWrapped},
    {"null_mode_written", Fault::NullModeWritten},
    {"stale_handle_invalid", Fault::StaleHandleInvalid},
    {"stale_handle_crashes", Fault::StaleHandleCrashes},
    {"destroy_refused_while_busy", Fault::DestroyRefusedWhileBusy},
    {"wide_as_four_thirds", Fault::WideAsFourThirds},
    {"modes_rotated", Fault::ModesRotated},
    {"offset_two_pixels", Fault::OffsetTwoPixels},
    {"puts_swallowed", Fault::PutsSwallowed},
    {"get_result_one", Fault::GetResultOne},
    {"set_ignored", Fault::SetIgnored},
    {"second_create_fails", Fault::SecondCreateFails},
    {"destroy_keeps_pointer", Fault::DestroyKeepsPointer},
    {"destroy_hangs", Fault::DestroyHangs},
    {"leaks_connection", Fault::LeaksConnection},
    {"first_display_kept", Fault::FirstDisplayKept},
    {"input_only_parent_taken", Fault::InputOnlyParentTaken},
    {"destroy_waits_for_host", Fault::DestroyWaitsForHost},
    {"put_waits_for_server", Fault::PutWaitsForServer},
    {"release_dropped", Fault::ReleaseDropped},
    {"release_twice", Fault::ReleaseTwice},
    {"racy_release", Fault::RacyRelease},
    {"depth_sixteen_as_default", Fault::DepthSixteenAsDefault},
    {"stats_dropped_as_presented", Fault::StatsDroppedAsPresented},
    {"timing_whole_record", Fault::TimingWholeRecord},
    {"latency_in_ms", Fault::LatencyInMs},
    {"path_misreported", Fault::PathMisreported},
    {"destroy_waits_for_server", Fault::DestroyWaitsForServer},
    {"thread_outlives_destroy", Fault::ThreadOutlivesDestroy},
};

std::mutex g_hostsMutex;
std::map<olm_vout_t*, uint32_t> g_hosts;

// A copy of one plane, rows from `from` on the caller's stride.
std::vector<uint8_t> copyPlane(const uint8_t* plane, int stride, int rows) {
    return std::vector<uint8_t>(plane, plane + size_t(stride) * rows);
}

void useOwned(Planes& p, int index) {
    p.planes[index] = p.owned[index].data();
}

} // namespace

// The width of vout's host window, or 0.
int hostWidth(olm_vout_t* vout) {
    static xcb_connection_t* conn = xcb_connect(nullptr, nullptr);
    std::lock_guard lock(g_hostsMutex);
    const auto it = g_hosts.find(vout);
    if (it == g_hosts.end())
        return 0;
    auto* geometry = xcb_get_geometry_reply(conn, xcb_get_geometry(conn, it->second), nullptr);
    const int width = geometry ? geometry->width : 0;
    std::free(geometry);
    return width;
}

Fault activeFault() {
    static const Fault fault = [] {
        Dl_info info{};
        if (!dladdr(reinterpret_cast<void*>(&activeFault), &info) || !info.dli_fname)
            return Fault::None;
        const std::string file = info.dli_fname;
        const size_t start = file.rfind("libolm_vout_"), end = file.rfind(".so");
        if (start == std::string::npos || end == std::string::npos || end < start)
            return Fault::None;
        const std::string name = file.substr(start + 12, end - start - 12);
        for (const auto& entry : kNames)
            if (name == entry.name)
                return entry.fault;
        return Fault::None;
    }();
    return fault;
}

void rememberHost(olm_vout_t* vout, uint32_t window) {
    std::lock_guard lock(g_hostsMutex);
    if (window)
        g_hosts[vout] = window;
    else
        g_hosts.erase(vout);
}

bool applyPlaneFaults(olm_vout_t* vout, Planes& p) {
    const int chromaRows = (p.height + 1) / 2;
    switch (activeFault()) {
    case Fault::SwapUv:
        std::swap(p.planes[1], p.planes[2]);
        std::swap(p.strides[1], p.strides[2]);
        return false;
    case Fault::StrideIgnored:
        p.strides[0] = p.width;
        p.strides[1] = p.strides[2] = (p.width + 1) / 2;
        return false;
    case Fault::EvenSizesOnly:
        p.width &= ~1;
        p.height &= ~1;
        return false;
    case Fault::ScalingSwapsUv:
        if (const int host = hostWidth(vout); host && host != p.width) {
            std::swap(p.planes[1], p.planes[2]);
            std::swap(p.strides[1], p.strides[2]);
        }
        return false;
    case Fault::ChromaRowLate:
        for (int i = 1; i < 3; ++i) {
            // Row r takes row r - 1: everything a row pair lower.
            p.owned[i] = copyPlane(p.planes[i], p.strides[i], chromaRows);
            std::memmove(p.owned[i].data() + p.strides[i], p.owned[i].data(),
                         size_t(p.strides[i]) * (chromaRows - 1));
            useOwned(p, i);
        }
        return true;
    case Fault::Blurred: {
        if (p.width < 64 || p.height < 64 || p.width % 4 || p.height % 4)
            return false;
        // Box-halved into planes of its own, drawn from there at whatever size.
        for (int i = 0; i < 3; ++i) {
            const int w = i ? (p.width + 1) / 2 : p.width, h = i ? chromaRows : p.height;
            std::vector<uint8_t> half(size_t(w / 2) * (h / 2));
            for (int y = 0; y < h / 2; ++y)
                for (int x = 0; x < w / 2; ++x) {
                    const uint8_t* a = p.planes[i] + size_t(2 * y) * p.strides[i] + 2 * x;
                    const uint8_t* b = a + p.strides[i];
                    half[size_t(y) * (w / 2) + x] = uint8_t((a[0] + a[1] + b[0] + b[1] + 2) / 4);
                }
            p.owned[i] = std::move(half);
            p.strides[i] = w / 2;
            useOwned(p, i);
        }
        p.width /= 2;
        p.height /= 2;
        return true;
    }
    default:
        return false;
    }
}
