#include "x11_present_path.h"

#include <xcb/present.h>

#include <algorithm>

namespace olm::x11 {

namespace {

// Completion times further than this from our clock are not trusted as latencies.
constexpr int64_t kClockSlackUs = 10'000'000;
// A presentation not completed by then is given up.
constexpr int64_t kInFlightLimitUs = 1'000'000;

} // namespace

bool PresentPath::open(Window& window, PresentationTiming& timing) {
    window_ = &window;
    timing_ = &timing;
    xcb_connection_t* conn = window.conn;
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(conn, &xcb_present_id);
    if (!ext || !ext->present || envFlag("OLM_VOUT_NO_PRESENT"))
        return false;
    auto version = owned(
        xcb_present_query_version_reply(conn, xcb_present_query_version(conn, 1, 2), nullptr));
    if (!version || version->major_version < 1)
        return false;
    uint8_t completionEvent = 0;
    bool pixmaps = false;
    shmPixmaps_ = serverHasShm(conn, &pixmaps, &completionEvent) && pixmaps;
    opcode_ = ext->major_opcode;
    eventId_ = xcb_generate_id(conn);
    auto error = owned(xcb_request_check(
        conn, xcb_present_select_input_checked(conn, eventId_, window.child,
                                               XCB_PRESENT_EVENT_MASK_COMPLETE_NOTIFY |
                                                   XCB_PRESENT_EVENT_MASK_IDLE_NOTIFY)));
    if (error)
        return false;
    timing.setPath(OLM_VOUT_PATH_PRESENT);
    return true;
}

void PresentPath::release(Buffer& buffer) {
    if (buffer.pixmap && !xcb_connection_has_error(window_->conn))
        xcb_free_pixmap(window_->conn, buffer.pixmap);
    detachSegment(window_->conn, buffer.segment);
    buffer = Buffer{};
}

// Gives the buffer a pixmap of the window's size.
bool PresentPath::prepare(Buffer& buffer) {
    if (buffer.pixmap && buffer.width == window_->width && buffer.height == window_->height)
        return true;
    release(buffer);
    xcb_connection_t* conn = window_->conn;
    const int w = window_->width, h = window_->height;
    buffer.pixmap = xcb_generate_id(conn);
    if (shmPixmaps_) {
        // Two spare rows: the conversion writes an even number of rows and may round the last
        // row's width up, past the end of an exactly sized image.
        const size_t bytes = window_->layout.rowBytes(w) * (size_t(h) + 2) + 64;
        if (attachSegment(conn, buffer.segment, bytes)) {
            auto error = owned(xcb_request_check(
                conn,
                xcb_shm_create_pixmap_checked(conn, buffer.pixmap, window_->child, uint16_t(w),
                                              uint16_t(h), window_->depth, buffer.segment.seg, 0)));
            if (!error) {
                buffer.width = w;
                buffer.height = h;
                return true;
            }
            detachSegment(conn, buffer.segment);
        }
        shmPixmaps_ = false; // plain pixmaps from now on
    }
    auto error = owned(xcb_request_check(
        conn, xcb_create_pixmap_checked(conn, window_->depth, buffer.pixmap, window_->child,
                                        uint16_t(w), uint16_t(h))));
    if (error) {
        buffer.pixmap = 0;
        return false;
    }
    buffer.width = w;
    buffer.height = h;
    return true;
}

bool PresentPath::draw(PictureScaler& scaler, Buffer& buffer, const Picture& picture,
                       const Rect& rect) {
    const PixelLayout& layout = window_->layout;
    if (buffer.segment.addr) {
        const size_t stride = layout.rowBytes(buffer.width);
        uint8_t* at = buffer.segment.addr + size_t(rect.y) * stride +
                      size_t(rect.x) * size_t(layout.bytesPerPixel());
        return scaler.scale(picture, layout.format, rect.width, rect.height, at, int(stride));
    }
    return putImageInStrips(*window_, scaler, picture, rect, buffer.pixmap, staging_);
}

void PresentPath::abandonInFlight() {
    inFlight_ = false;
    if (inFlightPutMicros_ >= 0)
        timing_->lost();
    // The pixmap it used may still be read: keep it busy until the server says otherwise, unless
    // every pixmap is stuck (then the server has forgotten them).
    bool anyIdle = false;
    for (const Buffer& b : buffers_)
        anyIdle = anyIdle || b.idle;
    if (!anyIdle)
        for (Buffer& b : buffers_)
            b.idle = true;
}

bool PresentPath::canPresent() {
    if (inFlight_ && monotonicMicros() - inFlightSinceUs_ > kInFlightLimitUs)
        abandonInFlight();
    if (inFlight_)
        return false;
    for (const Buffer& b : buffers_)
        if (b.idle)
            return true;
    return false;
}

PresentResult PresentPath::present(PictureScaler& scaler, const Picture* picture, const Rect& rect,
                                   int64_t putMicros) {
    Buffer* buffer = nullptr;
    for (Buffer& b : buffers_)
        if (b.idle && !buffer)
            buffer = &b;
    if (!buffer || window_->width <= 0 || window_->height <= 0 || !prepare(*buffer))
        return PresentResult::NotDrawn;
    const bool drawable = picture && !rect.empty();
    if (drawable && !draw(scaler, *buffer, *picture, rect))
        return PresentResult::NotDrawn;
    // Borders and picture in the one pixmap: the window changes in one step.
    window_->fillBorders(buffer->pixmap, rect, !drawable);

    xcb_connection_t* conn = window_->conn;
    inFlightSerial_ = ++serial_;
    // A new picture that was already waiting when the last presentation completed is due at the
    // refresh after that one; if it lands later, it missed refreshes. Others go at the next one.
    expectedMsc_ = 0;
    if (picture && putMicros >= 0 && lastCompletedUs_ > 0 && putMicros <= lastCompletedUs_)
        expectedMsc_ = lastMsc_ + 1;
    inFlightSequence_ =
        xcb_present_pixmap(conn, window_->child, buffer->pixmap, inFlightSerial_, 0, 0, 0, 0, 0, 0,
                           0, XCB_PRESENT_OPTION_NONE, expectedMsc_, 0, 0, 0, nullptr)
            .sequence;
    inFlightSinceUs_ = monotonicMicros();
    xcb_flush(conn);
    buffer->idle = false;
    inFlight_ = true;
    inFlightPutMicros_ = picture ? putMicros : -1;
    return PresentResult::Drawn;
}

void PresentPath::completed(uint32_t serial, uint8_t mode, uint64_t msc, uint64_t ust) {
    if (!inFlight_ || serial != inFlightSerial_)
        return;
    inFlight_ = false;
    timing_->refreshSeen(msc, int64_t(ust));
    lastCompletedUs_ = monotonicMicros();
    if (expectedMsc_ && msc > expectedMsc_)
        timing_->missed(msc - expectedMsc_);
    lastMsc_ = msc;
    if (inFlightPutMicros_ < 0)
        return; // a redraw
    if (mode == XCB_PRESENT_COMPLETE_MODE_SKIP) {
        timing_->lost();
        return;
    }
    const int64_t now = monotonicMicros();
    const int64_t onScreen = std::abs(int64_t(ust) - now) < kClockSlackUs ? int64_t(ust) : now;
    timing_->onScreen(inFlightPutMicros_, onScreen, msc);
}

bool PresentPath::dispatch(const xcb_generic_event_t* event) {
    if (event->response_type == 0) {
        auto* error = reinterpret_cast<const xcb_generic_error_t*>(event);
        if (!inFlight_ || error->full_sequence != inFlightSequence_)
            return false;
        abandonInFlight(); // the server refused it: no completion will come
        return true;
    }
    if ((event->response_type & 0x7f) != XCB_GE_GENERIC)
        return false;
    auto* ge = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
    if (ge->extension != opcode_)
        return false;
    switch (ge->event_type) {
    case XCB_PRESENT_COMPLETE_NOTIFY: {
        auto* e = reinterpret_cast<const xcb_present_complete_notify_event_t*>(event);
        if (e->kind == XCB_PRESENT_COMPLETE_KIND_PIXMAP)
            completed(e->serial, e->mode, e->msc, e->ust);
        break;
    }
    case XCB_PRESENT_IDLE_NOTIFY: {
        auto* e = reinterpret_cast<const xcb_present_idle_notify_event_t*>(event);
        for (Buffer& b : buffers_)
            if (b.pixmap == e->pixmap)
                b.idle = true;
        break;
    }
    default:
        break;
    }
    return true;
}

void PresentPath::close() {
    for (Buffer& b : buffers_)
        release(b);
}

} // namespace olm::x11
