#include "x11_image_path.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <chrono>

namespace olm::x11 {

namespace {

// How long a presentation waits for the server to finish reading a shared-memory segment
// before it reuses the segment anyway (it would tear, not crash).
constexpr int kCompletionTimeoutMs = 1000;
// Largest PutImage strip when shared memory is not used.
constexpr size_t kStripBytes = 256 * 1024;

} // namespace

bool attachSegment(xcb_connection_t* conn, Segment& segment, size_t size) {
    detachSegment(conn, segment);
    segment.shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (segment.shmid < 0)
        return false;
    void* addr = shmat(segment.shmid, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) {
        shmctl(segment.shmid, IPC_RMID, nullptr);
        segment = Segment{};
        return false;
    }
    segment.addr = static_cast<uint8_t*>(addr);
    segment.seg = xcb_generate_id(conn);
    auto error =
        owned(xcb_request_check(conn, xcb_shm_attach_checked(conn, segment.seg, segment.shmid, 0)));
    // Once the server has attached, the id can go: the memory lives until both sides detach.
    shmctl(segment.shmid, IPC_RMID, nullptr);
    if (error || xcb_connection_has_error(conn)) {
        shmdt(segment.addr);
        segment = Segment{};
        return false;
    }
    segment.size = size;
    return true;
}

void detachSegment(xcb_connection_t* conn, Segment& segment) {
    if (!segment.addr)
        return;
    if (!xcb_connection_has_error(conn))
        xcb_shm_detach(conn, segment.seg);
    shmdt(segment.addr);
    segment = Segment{};
}

bool serverHasShm(xcb_connection_t* conn, bool* pixmaps, uint8_t* completionEvent) {
    *pixmaps = false;
    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(conn, &xcb_shm_id);
    if (!shm || !shm->present || envFlag("OLM_VOUT_NO_SHM"))
        return false;
    auto version = owned(xcb_shm_query_version_reply(conn, xcb_shm_query_version(conn), nullptr));
    if (!version)
        return false;
    *pixmaps = version->shared_pixmaps && version->pixmap_format == XCB_IMAGE_FORMAT_Z_PIXMAP;
    *completionEvent = uint8_t(shm->first_event + XCB_SHM_COMPLETION);
    return true;
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

void ImagePath::open(Window& window, PresentationTiming& timing) {
    window_ = &window;
    timing_ = &timing;
    bool pixmaps = false;
    useShm_ = serverHasShm(window.conn, &pixmaps, &completionEvent_);
}

void ImagePath::finish(Slot& slot, bool shown) {
    if (slot.putMicros >= 0) {
        if (shown)
            timing_->onScreen(slot.putMicros, monotonicMicros());
        else
            timing_->lost();
    }
    slot.busy = false;
    slot.putMicros = -1;
}

bool ImagePath::dispatch(const xcb_generic_event_t* event) {
    const uint8_t type = event->response_type & 0x7f;
    if (type == 0) {
        // An error. One that answers a shared-memory put means that put will never complete.
        auto* error = reinterpret_cast<const xcb_generic_error_t*>(event);
        for (Slot& s : slots_) {
            if (s.busy && s.sequence == error->full_sequence) {
                finish(s, false);
                return true;
            }
        }
        return false;
    }
    if (useShm_ && type == completionEvent_) {
        auto* done = reinterpret_cast<const xcb_shm_completion_event_t*>(event);
        for (Slot& s : slots_)
            if (s.busy && s.segment.seg == done->shmseg)
                finish(s, true);
        return true;
    }
    return false;
}

void ImagePath::checkDone() {
    if (!syncPending_)
        return;
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (!xcb_poll_for_reply(window_->conn, syncSequence_, &reply, &error))
        return;
    std::free(reply);
    std::free(error);
    syncPending_ = false;
    timing_->onScreen(syncPutMicros_, monotonicMicros());
}

// The server reads a shared-memory image some time after the put; writing the next picture into
// the segment before it has finished would tear the picture on screen. So a segment is reused
// only after its completion event (or the error that replaces it) arrived.
bool ImagePath::waitForSlot(Slot& slot, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool watchWake = true;
    for (;;) {
        while (auto event = owned(xcb_poll_for_event(window_->conn)))
            if (!dispatch(event.get()))
                window_->dispatch(event.get());
        if (!slot.busy)
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            finish(slot, false); // torn at worst, but never stuck
            return true;
        }
        if (!window_->waitForServer(int(std::min<long>(left.count(), 50)), &watchWake))
            return false;
    }
}

void ImagePath::drawPicture(PictureScaler& scaler, const Picture& picture, const Rect& rect,
                            int64_t putMicros, bool* drawn) {
    const PixelLayout& layout = window_->layout;
    xcb_connection_t* conn = window_->conn;
    const int rowPixels = layout.alignedWidth(rect.width);
    const int stride = int(layout.rowBytes(rowPixels));
    const int rows = PictureScaler::rowsNeeded(rect.height);
    const size_t imageSize = size_t(stride) * rows;

    if (useShm_) {
        Slot& slot = slots_[nextSlot_];
        nextSlot_ = (nextSlot_ + 1) % 2;
        if (!waitForSlot(slot, kCompletionTimeoutMs))
            return;
        if (slot.segment.size < imageSize) {
            // Room for the whole window, so mode changes and small resizes reuse the segment.
            const size_t windowStride = layout.rowBytes(layout.alignedWidth(window_->width));
            const size_t room = std::max(imageSize, windowStride * (window_->height + 2));
            if (!attachSegment(conn, slot.segment, room)) {
                useShm_ = false; // fall back to PutImage for good
                drawPicture(scaler, picture, rect, putMicros, drawn);
                return;
            }
        }
        if (!scaler.scale(picture, layout.format, rect.width, rect.height, slot.segment.addr,
                          stride))
            return;
        const xcb_void_cookie_t cookie = xcb_shm_put_image(
            conn, window_->child, window_->gc, uint16_t(rowPixels), uint16_t(rows), 0, 0,
            uint16_t(rect.width), uint16_t(rect.height), int16_t(rect.x), int16_t(rect.y),
            window_->depth, XCB_IMAGE_FORMAT_Z_PIXMAP, 1, slot.segment.seg, 0);
        slot.busy = true;
        slot.sequence = cookie.sequence;
        slot.putMicros = putMicros;
        *drawn = true;
        return;
    }

    if (!putImageInStrips(*window_, scaler, picture, rect, window_->child, stripBuffer_))
        return;
    if (putMicros >= 0) {
        // A reply after the strips says the server has drawn them.
        if (syncPending_)
            timing_->onScreen(syncPutMicros_, monotonicMicros()); // requests complete in order
        syncSequence_ = xcb_get_input_focus(conn).sequence;
        syncPending_ = true;
        syncPutMicros_ = putMicros;
    }
    *drawn = true;
}

PresentResult ImagePath::present(PictureScaler& scaler, const Picture* picture, const Rect& rect,
                                 int64_t putMicros) {
    const bool drawable = picture && !rect.empty();
    bool drawn = false;
    if (drawable)
        drawPicture(scaler, *picture, rect, putMicros, &drawn);
    window_->fillBorders(window_->child, rect, !drawable);
    xcb_flush(window_->conn);
    return drawn || !picture ? PresentResult::Drawn : PresentResult::NotDrawn;
}

void ImagePath::close() {
    // The server keeps its own mapping of a segment until it detaches, so one it may still be
    // reading can go from this side at once.
    for (Slot& slot : slots_) {
        if (slot.busy)
            finish(slot, false);
        detachSegment(window_->conn, slot.segment);
    }
}

} // namespace olm::x11
