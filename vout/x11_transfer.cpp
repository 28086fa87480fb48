#include "x11_transfer.h"

#include <xcb/present.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>

namespace olm::x11 {

namespace {

// Largest PutImage strip when shared memory is not used.
constexpr size_t kStripBytes = 256 * 1024;

} // namespace

ServerCapabilities ServerCapabilities::query(xcb_connection_t* conn) {
    ServerCapabilities caps;
    // Both questions go out before either answer is read: one round trip.
    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(conn, &xcb_shm_id);
    const xcb_query_extension_reply_t* present = xcb_get_extension_data(conn, &xcb_present_id);
    const bool askShm = shm && shm->present && !envFlag("OLM_VOUT_NO_SHM");
    const bool askPresent = present && present->present && !envFlag("OLM_VOUT_NO_PRESENT");
    xcb_shm_query_version_cookie_t shmCookie{};
    xcb_present_query_version_cookie_t presentCookie{};
    if (askShm)
        shmCookie = xcb_shm_query_version(conn);
    if (askPresent)
        presentCookie = xcb_present_query_version(conn, 1, 2);
    if (askShm) {
        if (auto version = owned(xcb_shm_query_version_reply(conn, shmCookie, nullptr))) {
            caps.shm = true;
            caps.shmPixmaps =
                version->shared_pixmaps && version->pixmap_format == XCB_IMAGE_FORMAT_Z_PIXMAP;
            caps.shmCompletionEvent = uint8_t(shm->first_event + XCB_SHM_COMPLETION);
        }
    }
    if (askPresent) {
        auto version = owned(xcb_present_query_version_reply(conn, presentCookie, nullptr));
        if (version && version->major_version >= 1) {
            caps.present = true;
            caps.presentOpcode = present->major_opcode;
        }
    }
    return caps;
}

bool attachSegment(xcb_connection_t* conn, Segment& segment, size_t size) {
    detachSegment(conn, segment);
    const int shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (shmid < 0)
        return false;
    void* addr = shmat(shmid, nullptr, 0);
    // Marked for removal at once: the memory lives until both sides have detached, and Linux
    // lets the server attach a segment so marked.
    shmctl(shmid, IPC_RMID, nullptr);
    if (addr == reinterpret_cast<void*>(-1))
        return false;
    segment.addr = static_cast<uint8_t*>(addr);
    segment.seg = xcb_generate_id(conn);
    segment.attachRequest = xcb_shm_attach(conn, segment.seg, uint32_t(shmid), 0).sequence;
    segment.size = size;
    return true;
}

void forgetSegment(Segment& segment) {
    if (segment.addr)
        shmdt(segment.addr);
    segment = Segment{};
}

void detachSegment(xcb_connection_t* conn, Segment& segment) {
    if (!segment.addr)
        return;
    if (!xcb_connection_has_error(conn))
        xcb_shm_detach(conn, segment.seg);
    shmdt(segment.addr);
    segment = Segment{};
}

bool putImageInStrips(Window& window, PictureScaler& scaler, const Picture& picture,
                      const Rect& rect, xcb_drawable_t drawable, std::vector<uint8_t>& staging) {
    const PixelLayout& layout = window.layout;
    const int rowPixels = layout.alignedWidth(rect.width);
    const int stride = int(layout.rowBytes(rowPixels));
    staging.resize(size_t(stride) * PictureScaler::rowsNeeded(rect.height));
    if (!scaler.scale(picture, layout.format, rect.width, rect.height, staging.data(), stride))
        return false;
    const int rowsPerStrip =
        std::max(1, int(std::min(kStripBytes, window.maxRequestBytes) / size_t(stride)));
    for (int row = 0; row < rect.height; row += rowsPerStrip) {
        const int count = std::min(rowsPerStrip, rect.height - row);
        xcb_put_image(window.conn, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, window.gc,
                      uint16_t(rowPixels), uint16_t(count), int16_t(rect.x), int16_t(rect.y + row),
                      0, window.depth, uint32_t(stride) * count,
                      staging.data() + size_t(row) * stride);
    }
    return true;
}

} // namespace olm::x11
