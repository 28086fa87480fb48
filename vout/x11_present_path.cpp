#include "x11_present_path.h"

#include <xcb/present.h>

#include <algorithm>

namespace olm::x11 {

namespace {

// Completion times further than this from our clock are not trusted as latencies.
constexpr int64_t kClockSlackUs = 10'000'000;

} // namespace

PresentPath::PresentPath(Window& window, const ServerCapabilities& caps, PresentationTiming& timing)
    : window_(window), timing_(timing), shmPixmaps_(caps.shm && caps.shmPixmaps),
      opcode_(caps.presentOpcode) {}

bool PresentPath::open() {
    xcb_connection_t* conn = window_.conn;
    eventId_ = xcb_generate_id(conn);
    auto error = owned(xcb_request_check(
        conn, xcb_present_select_input_checked(conn, eventId_, window_.child,
                                               XCB_PRESENT_EVENT_MASK_COMPLETE_NOTIFY |
                                                   XCB_PRESENT_EVENT_MASK_IDLE_NOTIFY)));
    if (error)
        return false;
    timing_.setPath(OLM_VOUT_PATH_PRESENT);
    return true;
}

void PresentPath::release(Buffer& buffer) {
    if (buffer.pixmap && !xcb_connection_has_error(window_.conn))
        xcb_free_pixmap(window_.conn, buffer.pixmap);
    detachSegment(window_.conn, buffer.segment);
    buffer = Buffer{};
}

// Gives the buffer a pixmap that covers the window. Pixmaps are made a little larger than the
// window, with rows a whole number of 64-byte units, so that growing the window by a few pixels
// does not remake them all and the conversion writes aligned rows; what lies past the window is
// never shown. Nothing waits for the server: a pixmap it refuses comes back as an error (refused).
void PresentPath::prepare(Buffer& buffer) {
    const int w = window_.width, h = window_.height;
    if (buffer.pixmap && buffer.width >= w && buffer.height >= h)
        return;
    release(buffer);
    xcb_connection_t* conn = window_.conn;
    const int ph = std::min(h + h / 8, kMaxSide);
    int pw = std::min(w + w / 8, kMaxSide);
    if (const int aligned = window_.layout.alignedWidth(pw); aligned <= kMaxSide)
        pw = aligned;
    buffer.pixmap = xcb_generate_id(conn);
    buffer.width = pw;
    buffer.height = ph;
    if (shmPixmaps_) {
        // Two spare rows: a conversion may write an even number of rows.
        const size_t bytes = window_.layout.rowBytes(pw) * (size_t(ph) + 2);
        if (attachSegment(conn, buffer.segment, bytes)) {
            buffer.createRequest =
                xcb_shm_create_pixmap(conn, buffer.pixmap, window_.child, uint16_t(pw),
                                      uint16_t(ph), window_.depth, buffer.segment.seg, 0)
                    .sequence;
            return;
        }
        shmPixmaps_ = false; // plain pixmaps from now on
    }
    buffer.createRequest = xcb_create_pixmap(conn, window_.depth, buffer.pixmap, window_.child,
                                             uint16_t(pw), uint16_t(ph))
                               .sequence;
}

bool PresentPath::refused(uint32_t sequence) {
    for (Buffer& b : buffers_) {
        if (!b.pixmap)
            continue;
        const bool segmentRefused = b.segment.addr && b.segment.attachRequest == sequence;
        if (!segmentRefused && b.createRequest != sequence)
            continue;
        // No such pixmap in the server: what was drawn into it never shows, and its presentation
        // is refused too. Shared-memory pixmaps are given up for plain ones, and the window is
        // drawn again with those.
        if (b.segment.addr) {
            shmPixmaps_ = false;
            window_.pending.exposed = true;
        }
        forgetSegment(b.segment);
        b = Buffer{};
        return true;
    }
    return false;
}

bool PresentPath::draw(PictureScaler& scaler, Buffer& buffer, const Picture& picture,
                       const Rect& rect) {
    const PixelLayout& layout = window_.layout;
    if (buffer.segment.addr) {
        const size_t stride = layout.rowBytes(buffer.width);
        uint8_t* at = buffer.segment.addr + size_t(rect.y) * stride +
                      size_t(rect.x) * size_t(layout.bytesPerPixel());
        return scaler.scale(picture, layout.format, rect.width, rect.height, at, int(stride));
    }
    return putImageInStrips(window_, scaler, picture, rect, buffer.pixmap, staging_);
}

PresentPath::Buffer* PresentPath::idleBuffer() {
    for (Buffer& b : buffers_)
        if (b.idle)
            return &b;
    return nullptr;
}

bool PresentPath::canPresent() const {
    if (presentations_.full())
        return false;
    for (const Buffer& b : buffers_)
        if (b.idle)
            return true;
    return false;
}

uint64_t PresentPath::dueRefresh(int64_t putMicros) const {
    const int64_t period = timing_.refreshPeriodUs();
    if (lastUst_ <= 0 || period <= 0 || putMicros < 0)
        return 0;
    const int64_t sincePut = putMicros - lastUst_;
    const int64_t refreshes =
        sincePut >= 0 ? sincePut / period : -((-sincePut + period - 1) / period);
    const int64_t current = int64_t(lastMsc_) + refreshes;
    return current >= 0 ? uint64_t(current + 1) : 0;
}

PresentResult PresentPath::present(PictureScaler& scaler, const Picture* picture, const Rect& rect,
                                   int64_t putMicros) {
    Buffer* buffer = idleBuffer();
    if (!buffer || presentations_.full())
        return PresentResult::NotDrawn;
    prepare(*buffer);
    const bool drawable = picture && !rect.empty();
    if (drawable && !draw(scaler, *buffer, *picture, rect))
        return PresentResult::NotDrawn;
    // Borders and picture in the one pixmap: the window changes in one step.
    window_.fillBorders(buffer->pixmap, rect, !drawable);

    InFlight::Record record;
    record.putMicros = picture ? putMicros : -1;
    record.due = dueRefresh(record.putMicros);
    if (picture && putMicros < 0) {
        // A redraw of the picture shown last replaces its presentation if that still waits for
        // its refresh: then this one carries the picture to the screen and is the one counted.
        if (InFlight::Record* waiting = presentations_.newest();
            waiting && waiting->putMicros >= 0) {
            record.putMicros = waiting->putMicros;
            record.due = waiting->due;
            waiting->putMicros = -1;
        }
    }
    xcb_connection_t* conn = window_.conn;
    record.key = ++serial_;
    record.sequence =
        xcb_present_pixmap(conn, window_.child, buffer->pixmap, uint32_t(record.key), 0, 0, 0, 0, 0,
                           0, 0, XCB_PRESENT_OPTION_NONE, 0, 0, 0, 0, nullptr)
            .sequence;
    record.slot = int(buffer - buffers_);
    record.sentUs = monotonicMicros();
    presentations_.add(record);
    buffer->idle = false;
    buffer->serial = uint32_t(record.key);
    buffer->busySinceUs = record.sentUs;
    xcb_flush(conn);
    return PresentResult::Drawn;
}

void PresentPath::completed(uint32_t serial, uint8_t mode, uint64_t msc, uint64_t ust) {
    const int64_t now = monotonicMicros();
    const int64_t onScreen = std::abs(int64_t(ust) - now) < kClockSlackUs ? int64_t(ust) : now;
    const bool skipped = mode == XCB_PRESENT_COMPLETE_MODE_SKIP;
    if (!skipped) {
        // Only a picture that reached the screen times the refresh: the server reports the
        // pictures it skipped for the same refresh a little before or after, at other times.
        timing_.refreshSeen(msc, onScreen);
        lastMsc_ = msc;
        lastUst_ = onScreen;
    }
    const auto record = presentations_.take(serial);
    if (!record || record->putMicros < 0)
        return; // given up already, or a redraw
    if (skipped) {
        timing_.lost(); // replaced by a newer picture before its refresh
        return;
    }
    if (record->due && msc > record->due)
        timing_.missed(msc - record->due);
    timing_.onScreen(record->putMicros, onScreen, msc);
}

void PresentPath::expire(int64_t nowUs) {
    presentations_.expire(nowUs, [this](const InFlight::Record& r) {
        if (r.putMicros >= 0)
            timing_.lost();
        // Its pixmap stays busy until the server says it is idle.
    });
    // Every pixmap busy for that long: the server may still hold them, and may use them or let
    // them go long after. They are left to it (freed, so that it drops them once done) and new
    // ones made, so nothing is ever drawn into a pixmap the server could still show.
    bool stuck = true;
    for (const Buffer& b : buffers_)
        stuck = stuck && !b.idle && nowUs - b.busySinceUs >= InFlight::kLimitUs;
    if (stuck)
        for (Buffer& b : buffers_)
            release(b);
}

int64_t PresentPath::nextDeadline() const {
    int64_t deadline = presentations_.nextDeadline();
    if (canPresent())
        return deadline;
    for (const Buffer& b : buffers_)
        if (!b.idle)
            deadline = std::min(deadline, b.busySinceUs + InFlight::kLimitUs);
    return deadline;
}

bool PresentPath::dispatch(const xcb_generic_event_t* event) {
    if (event->response_type == 0) {
        const uint32_t sequence = event->full_sequence;
        if (refused(sequence))
            return true;
        // The server refused a presentation: no completion will come, and it holds no pixmap.
        const auto presentation = presentations_.takeFirst(
            [sequence](const InFlight::Record& r) { return r.sequence == sequence; });
        if (!presentation)
            return false;
        if (presentation->putMicros >= 0)
            timing_.lost();
        Buffer& buffer = buffers_[presentation->slot];
        if (buffer.serial == uint32_t(presentation->key))
            buffer.idle = true;
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
        // Only the presentation that holds a pixmap now lets it go: a late word about an older
        // one (given up, its pixmap replaced) matches nothing.
        auto* e = reinterpret_cast<const xcb_present_idle_notify_event_t*>(event);
        for (Buffer& b : buffers_)
            if (b.pixmap == e->pixmap && b.serial == e->serial)
                b.idle = true;
        break;
    }
    default:
        break;
    }
    return true;
}

void PresentPath::close() {
    presentations_.expire(kNoDeadline, [this](const InFlight::Record& r) {
        if (r.putMicros >= 0)
            timing_.lost();
    });
    for (Buffer& b : buffers_)
        release(b);
}

} // namespace olm::x11
