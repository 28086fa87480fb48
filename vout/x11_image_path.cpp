#include "x11_image_path.h"

#include <algorithm>

namespace olm::x11 {

namespace {

uint64_t shmKey(xcb_shm_seg_t seg, uint32_t sequence) {
    return uint64_t(seg) << 32 | sequence;
}

} // namespace

ImagePath::ImagePath(Window& window, const ServerCapabilities& caps, PresentationTiming& timing)
    : window_(window), timing_(timing), useShm_(caps.shm),
      completionEvent_(caps.shm ? caps.shmCompletionEvent : 0) {}

void ImagePath::settle(const InFlight::Record& record, bool shown) {
    if (record.putMicros < 0)
        return; // a redraw: its picture was counted before
    if (shown)
        timing_.onScreen(record.putMicros, monotonicMicros());
    else
        timing_.lost();
}

bool ImagePath::dispatch(const xcb_generic_event_t* event) {
    const uint8_t type = event->response_type & 0x7f;
    if (type == 0) {
        const uint32_t sequence = event->full_sequence;
        for (Segment& segment : segments_) {
            if (segment.addr && segment.attachRequest == sequence) {
                // The server cannot use our shared memory (a remote server, say): PutImage in
                // strips from now on, and the window drawn again that way. The puts that used
                // the segment are refused too.
                forgetSegment(segment);
                useShm_ = false;
                window_.pending.exposed = true;
                return true;
            }
        }
        // An error that answers a shared-memory put means that put will never complete.
        if (auto put = shmPuts_.takeFirst(
                [sequence](const InFlight::Record& r) { return r.sequence == sequence; })) {
            settle(*put, false);
            return true;
        }
        return false;
    }
    // Completions are taken in even after a fall-back to strips: puts sent before it still end.
    if (completionEvent_ && type == completionEvent_) {
        auto* done = reinterpret_cast<const xcb_shm_completion_event_t*>(event);
        if (auto put = shmPuts_.take(shmKey(done->shmseg, event->full_sequence)))
            settle(*put, true);
        return true; // a late one, for a put already given up, matches nothing
    }
    return false;
}

bool ImagePath::takeReplies() {
    bool took = false;
    // Answers come in the order the round trips went out.
    while (const InFlight::Record* oldest = roundTrips_.oldest()) {
        void* reply = nullptr;
        xcb_generic_error_t* error = nullptr;
        if (!xcb_poll_for_reply(window_.conn, oldest->sequence, &reply, &error))
            break;
        std::free(reply);
        std::free(error);
        settle(*roundTrips_.take(oldest->key), true);
        took = true;
    }
    return took;
}

void ImagePath::expire(int64_t nowUs) {
    shmPuts_.expire(nowUs, [this](const InFlight::Record& put) {
        settle(put, false);
        // The server may still read this segment: it is not written again. A new one replaces
        // it when next needed, and this one goes once the server is done with it.
        detachSegment(window_.conn, segments_[put.slot]);
    });
    roundTrips_.expire(nowUs, [this](const InFlight::Record& trip) {
        settle(trip, false);
        xcb_discard_reply(window_.conn, trip.sequence);
    });
}

int64_t ImagePath::nextDeadline() const {
    return std::min(shmPuts_.nextDeadline(), roundTrips_.nextDeadline());
}

bool ImagePath::canPresent() const {
    if (!useShm_)
        return roundTrips_.size() < kRoundTrips;
    for (int i = 0; i < kSegments; ++i)
        if (!shmPuts_.holdsSlot(i))
            return true;
    return false;
}

bool ImagePath::drawWithShm(PictureScaler& scaler, const Picture& picture, const Rect& rect,
                            int64_t putMicros) {
    int slot = 0;
    while (slot < kSegments && shmPuts_.holdsSlot(slot))
        ++slot;
    if (slot == kSegments)
        return false;
    const PixelLayout& layout = window_.layout;
    xcb_connection_t* conn = window_.conn;
    const int rowPixels = layout.alignedWidth(rect.width);
    const int stride = int(layout.rowBytes(rowPixels));
    const int rows = PictureScaler::rowsNeeded(rect.height);
    Segment& segment = segments_[slot];
    if (segment.size < size_t(stride) * rows) {
        // Room for the whole window, so mode changes and small resizes reuse the segment.
        const size_t windowStride = layout.rowBytes(layout.alignedWidth(window_.width));
        const size_t room = std::max(size_t(stride) * rows, windowStride * (window_.height + 2));
        if (!attachSegment(conn, segment, room)) {
            useShm_ = false; // PutImage from now on; puts already sent still complete
            return drawInStrips(scaler, picture, rect, putMicros);
        }
    }
    if (!scaler.scale(picture, layout.format, rect.width, rect.height, segment.addr, stride))
        return false;
    const xcb_void_cookie_t cookie = xcb_shm_put_image(
        conn, window_.child, window_.gc, uint16_t(rowPixels), uint16_t(rows), 0, 0,
        uint16_t(rect.width), uint16_t(rect.height), int16_t(rect.x), int16_t(rect.y),
        window_.depth, XCB_IMAGE_FORMAT_Z_PIXMAP, 1, segment.seg, 0);
    shmPuts_.add({shmKey(segment.seg, cookie.sequence), cookie.sequence, slot, putMicros,
                  monotonicMicros()});
    return true;
}

bool ImagePath::drawInStrips(PictureScaler& scaler, const Picture& picture, const Rect& rect,
                             int64_t putMicros) {
    if (!putImageInStrips(window_, scaler, picture, rect, window_.child, stripBuffer_))
        return false;
    if (putMicros >= 0) {
        // The answer to a round trip after the strips says the server has drawn them.
        const unsigned int sequence = xcb_get_input_focus(window_.conn).sequence;
        roundTrips_.add({sequence, sequence, -1, putMicros, monotonicMicros()});
    }
    return true;
}

PresentResult ImagePath::present(PictureScaler& scaler, const Picture* picture, const Rect& rect,
                                 int64_t putMicros) {
    const bool drawable = picture && !rect.empty();
    bool drawn = false;
    if (drawable)
        drawn = useShm_ ? drawWithShm(scaler, *picture, rect, putMicros)
                        : drawInStrips(scaler, *picture, rect, putMicros);
    window_.fillBorders(window_.child, rect, !drawable);
    xcb_flush(window_.conn);
    return drawn || !picture ? PresentResult::Drawn : PresentResult::NotDrawn;
}

void ImagePath::close() {
    shmPuts_.expire(kNoDeadline, [this](const InFlight::Record& put) { settle(put, false); });
    roundTrips_.expire(kNoDeadline, [this](const InFlight::Record& trip) { settle(trip, false); });
    for (Segment& segment : segments_)
        detachSegment(window_.conn, segment);
}

} // namespace olm::x11
