// Draws into an X11 window through xcb: a child window of our own over the host window, pictures
// scaled and converted (PictureScaler) straight into the window's pixel format in a shared-memory
// segment and sent with MIT-SHM, or with plain PutImage in strips where shared memory is not
// available.

#include "backend.h"
#include "picture_scaler.h"

#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace olm {

namespace {

// How long a presentation waits for the server to finish reading a shared-memory segment
// before it reuses the segment anyway (it would tear, not crash).
constexpr int kCompletionTimeoutMs = 1000;
// Largest PutImage strip when shared memory is not used.
constexpr size_t kStripBytes = 256 * 1024;

template <typename T> std::unique_ptr<T, decltype(&std::free)> owned(T* p) {
    return {p, &std::free};
}

struct Segment {
    xcb_shm_seg_t seg = 0;
    int shmid = -1;
    uint8_t* addr = nullptr;
    size_t size = 0;
    bool busy = false;     // the server may still be reading it
    uint64_t sequence = 0; // of the put that made it busy
};

// How the server lays out pixels of the window's depth: the matching libswscale format, the bits
// each pixel takes and the bits each row is padded to.
struct PixelLayout {
    AVPixelFormat format = AV_PIX_FMT_NONE;
    int bitsPerPixel = 0;
    int scanlinePad = 32;

    // Bytes per row of an image `width` pixels wide, as the server reads it.
    size_t rowBytes(int width) const {
        const size_t bits = size_t(width) * bitsPerPixel;
        return (bits + scanlinePad - 1) / scanlinePad * scanlinePad / 8;
    }
    // The image width, at least `width`, whose rows are a whole number of 64-byte units when one
    // exists close by (libswscale writes aligned rows fastest); the extra columns are never shown.
    int alignedWidth(int width) const {
        for (int w = width; w < width + 64; ++w)
            if (rowBytes(w) % 64 == 0)
                return w;
        return width;
    }
};

PixelLayout layoutFor(const xcb_setup_t* setup, uint8_t depth, const xcb_visualtype_t* visual) {
    int bitsPerPixel = 0, scanlinePad = 32;
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f)) {
        if (f.data->depth == depth) {
            bitsPerPixel = f.data->bits_per_pixel;
            scanlinePad = f.data->scanline_pad;
        }
    }
    const bool lsb = setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    const uint32_t r = visual->red_mask, g = visual->green_mask, b = visual->blue_mask;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    if (bitsPerPixel == 32 && r == 0xff0000 && g == 0xff00 && b == 0xff)
        format = lsb ? AV_PIX_FMT_BGR0 : AV_PIX_FMT_0RGB;
    else if (bitsPerPixel == 32 && r == 0xff && g == 0xff00 && b == 0xff0000)
        format = lsb ? AV_PIX_FMT_RGB0 : AV_PIX_FMT_0BGR;
    else if (bitsPerPixel == 24 && r == 0xff0000 && g == 0xff00 && b == 0xff)
        format = lsb ? AV_PIX_FMT_BGR24 : AV_PIX_FMT_RGB24;
    else if (bitsPerPixel == 24 && r == 0xff && g == 0xff00 && b == 0xff0000)
        format = lsb ? AV_PIX_FMT_RGB24 : AV_PIX_FMT_BGR24;
    else if (bitsPerPixel == 16 && r == 0xf800 && g == 0x07e0 && b == 0x001f)
        format = lsb ? AV_PIX_FMT_RGB565LE : AV_PIX_FMT_RGB565BE;
    else if (bitsPerPixel == 16 && r == 0x7c00 && g == 0x03e0 && b == 0x001f)
        format = lsb ? AV_PIX_FMT_RGB555LE : AV_PIX_FMT_RGB555BE;
    if (format == AV_PIX_FMT_NONE || scanlinePad <= 0 || scanlinePad % 8 != 0)
        return {};
    return {format, bitsPerPixel, scanlinePad};
}

const xcb_visualtype_t* findVisual(const xcb_screen_t* screen, xcb_visualid_t id) {
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem; xcb_depth_next(&d))
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
            if (v.data->visual_id == id)
                return v.data;
    return nullptr;
}

} // namespace

struct BackendState {
    xcb_connection_t* conn = nullptr;
    xcb_window_t host = 0;
    xcb_window_t child = 0;
    xcb_gcontext_t gc = 0;
    uint8_t depth = 0;
    uint32_t blackPixel = 0;
    PixelLayout layout;
    int width = 0, height = 0;
    bool gone = false;
    WindowEvents pending;

    bool useShm = false;
    uint8_t shmCompletionEvent = 0;
    Segment segments[2];
    int nextSegment = 0;
    std::vector<uint8_t> stripBuffer; // conversion target without shared memory

    PictureScaler scaler;
    size_t maxRequestBytes = 0;

    void dispatch(xcb_generic_event_t* event);
    bool waitForSegment(Segment& segment);
    bool attachSegment(Segment& segment, size_t size);
    void detachSegment(Segment& segment);
    void drawPicture(const Picture& picture, const Rect& rect);
    void fillBlack(const Rect& rect, bool everything);
};

void BackendState::dispatch(xcb_generic_event_t* event) {
    const uint8_t type = event->response_type & 0x7f;
    if (type == 0) {
        // An error. One that answers a shared-memory put means that put will never complete.
        auto* error = reinterpret_cast<xcb_generic_error_t*>(event);
        for (Segment& s : segments)
            if (s.busy && s.sequence == error->full_sequence)
                s.busy = false;
        return;
    }
    if (useShm && type == shmCompletionEvent) {
        auto* done = reinterpret_cast<xcb_shm_completion_event_t*>(event);
        for (Segment& s : segments)
            if (s.busy && s.seg == done->shmseg)
                s.busy = false;
        return;
    }
    switch (type) {
    case XCB_EXPOSE: {
        auto* e = reinterpret_cast<xcb_expose_event_t*>(event);
        if (e->window == child && e->count == 0)
            pending.exposed = true;
        break;
    }
    case XCB_CONFIGURE_NOTIFY: {
        auto* e = reinterpret_cast<xcb_configure_notify_event_t*>(event);
        if (e->window == host && (e->width != width || e->height != height)) {
            width = e->width;
            height = e->height;
            const uint32_t size[] = {uint32_t(width), uint32_t(height)};
            xcb_configure_window(conn, child, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                                 size);
            pending.resized = true;
        }
        break;
    }
    case XCB_DESTROY_NOTIFY: {
        auto* e = reinterpret_cast<xcb_destroy_notify_event_t*>(event);
        if (e->window == host) {
            gone = true;
            pending.gone = true;
        }
        break;
    }
    default:
        break;
    }
}

// The server reads a shared-memory image some time after the put; writing the next picture into
// the segment before it has finished would tear the picture on screen. So a segment is reused
// only after its completion event (or the error that replaces it) arrived.
bool BackendState::waitForSegment(Segment& segment) {
    int waited = 0;
    for (;;) {
        if (xcb_connection_has_error(conn))
            return false;
        while (auto event = owned(xcb_poll_for_event(conn)))
            dispatch(event.get());
        if (!segment.busy)
            break;
        if (waited >= kCompletionTimeoutMs) {
            segment.busy = false;
            break;
        }
        pollfd pfd{xcb_get_file_descriptor(conn), POLLIN, 0};
        poll(&pfd, 1, 50);
        waited += 50;
    }
    return true;
}

bool BackendState::attachSegment(Segment& segment, size_t size) {
    detachSegment(segment);
    segment.shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (segment.shmid < 0)
        return false;
    void* addr = shmat(segment.shmid, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) {
        shmctl(segment.shmid, IPC_RMID, nullptr);
        segment.shmid = -1;
        return false;
    }
    segment.addr = static_cast<uint8_t*>(addr);
    segment.seg = xcb_generate_id(conn);
    auto error =
        owned(xcb_request_check(conn, xcb_shm_attach_checked(conn, segment.seg, segment.shmid, 0)));
    // Once the server has attached, the id can go: the memory lives until both sides detach.
    shmctl(segment.shmid, IPC_RMID, nullptr);
    if (error) {
        shmdt(segment.addr);
        segment = Segment{};
        return false;
    }
    segment.size = size;
    return true;
}

void BackendState::detachSegment(Segment& segment) {
    if (!segment.addr)
        return;
    if (!xcb_connection_has_error(conn) && waitForSegment(segment))
        xcb_shm_detach(conn, segment.seg);
    shmdt(segment.addr);
    segment = Segment{};
}

void BackendState::fillBlack(const Rect& rect, bool everything) {
    const Borders borders =
        everything ? bordersAround(Rect{}, width, height) : bordersAround(rect, width, height);
    if (borders.count == 0)
        return;
    xcb_rectangle_t rects[4];
    for (int i = 0; i < borders.count; ++i) {
        const Rect& r = borders.rects[i];
        rects[i] = {int16_t(r.x), int16_t(r.y), uint16_t(r.width), uint16_t(r.height)};
    }
    xcb_poly_fill_rectangle(conn, child, gc, uint32_t(borders.count), rects);
}

void BackendState::drawPicture(const Picture& picture, const Rect& rect) {
    const int rowPixels = layout.alignedWidth(rect.width);
    const int stride = int(layout.rowBytes(rowPixels));
    const int rows = PictureScaler::rowsNeeded(rect.height);
    const size_t imageSize = size_t(stride) * rows;

    if (useShm) {
        Segment& segment = segments[nextSegment];
        nextSegment = (nextSegment + 1) % 2;
        if (!waitForSegment(segment))
            return;
        if (segment.size < imageSize) {
            // Room for the whole window, so mode changes and small resizes reuse the segment.
            const size_t windowStride = layout.rowBytes(layout.alignedWidth(width));
            const size_t room = std::max(imageSize, windowStride * (height + 2));
            if (!attachSegment(segment, room)) {
                useShm = false; // fall back to PutImage for good
                drawPicture(picture, rect);
                return;
            }
        }
        if (!scaler.scale(picture, layout.format, rect.width, rect.height, segment.addr, stride))
            return;
        xcb_void_cookie_t cookie =
            xcb_shm_put_image(conn, child, gc, uint16_t(rowPixels), uint16_t(rows), 0, 0,
                              uint16_t(rect.width), uint16_t(rect.height), int16_t(rect.x),
                              int16_t(rect.y), depth, XCB_IMAGE_FORMAT_Z_PIXMAP, 1, segment.seg, 0);
        segment.busy = true;
        segment.sequence = cookie.sequence;
        return;
    }

    stripBuffer.resize(imageSize);
    if (!scaler.scale(picture, layout.format, rect.width, rect.height, stripBuffer.data(), stride))
        return;
    const int rowsPerStrip = std::max(1, int(std::min(kStripBytes, maxRequestBytes) / stride));
    for (int row = 0; row < rect.height; row += rowsPerStrip) {
        const int count = std::min(rowsPerStrip, rect.height - row);
        // The padded columns land right of the picture; the border fill after this covers them.
        xcb_put_image(conn, XCB_IMAGE_FORMAT_Z_PIXMAP, child, gc, uint16_t(rowPixels),
                      uint16_t(count), int16_t(rect.x), int16_t(rect.y + row), 0, depth,
                      uint32_t(stride) * count, stripBuffer.data() + size_t(row) * stride);
    }
}

namespace {

BackendState* x11Open(uint32_t window, std::string* error) {
    auto state = std::make_unique<BackendState>();
    int screenNumber = 0;
    state->conn = xcb_connect(nullptr, &screenNumber);
    xcb_connection_t* conn = state->conn;
    if (xcb_connection_has_error(conn)) {
        const char* display = std::getenv("DISPLAY");
        *error = std::string("cannot open the X display \"") + (display ? display : "") + "\"";
        xcb_disconnect(conn);
        return nullptr;
    }
    auto fail = [&](std::string why) {
        *error = std::move(why);
        xcb_disconnect(conn);
        return nullptr;
    };

    auto attrs = owned(
        xcb_get_window_attributes_reply(conn, xcb_get_window_attributes(conn, window), nullptr));
    auto geometry = owned(xcb_get_geometry_reply(conn, xcb_get_geometry(conn, window), nullptr));
    if (!attrs || !geometry) {
        char text[64];
        std::snprintf(text, sizeof text, "0x%x is not a window", window);
        return fail(text);
    }

    const xcb_setup_t* setup = xcb_get_setup(conn);
    xcb_screen_t* screen = nullptr;
    for (auto it = xcb_setup_roots_iterator(setup); it.rem; xcb_screen_next(&it))
        if (it.data->root == geometry->root)
            screen = it.data;
    const xcb_visualtype_t* visual = screen ? findVisual(screen, screen->root_visual) : nullptr;
    if (!visual)
        return fail("no visual for the window's screen");
    state->layout = layoutFor(setup, screen->root_depth, visual);
    if (state->layout.format == AV_PIX_FMT_NONE) {
        char text[96];
        std::snprintf(text, sizeof text, "unsupported visual (depth %d, masks %06x/%06x/%06x)",
                      screen->root_depth, visual->red_mask, visual->green_mask, visual->blue_mask);
        return fail(text);
    }

    state->host = window;
    state->depth = screen->root_depth;
    state->blackPixel = screen->black_pixel;
    state->width = geometry->width;
    state->height = geometry->height;
    state->maxRequestBytes = size_t(xcb_get_maximum_request_length(conn)) * 4 - 64;

    // Follow the host's size and notice when it goes. Each client has its own event mask on a
    // window, so this leaves the host's own selection alone.
    const uint32_t hostEvents[] = {XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_change_window_attributes(conn, window, XCB_CW_EVENT_MASK, hostEvents);

    // A child window of our own, so the host's painting of its background never overwrites a
    // picture. It selects exposure only: pointer and key events pass on to the host.
    state->child = xcb_generate_id(conn);
    const uint32_t childValues[] = {XCB_BACK_PIXMAP_NONE, state->blackPixel,
                                    XCB_EVENT_MASK_EXPOSURE, screen->default_colormap};
    xcb_create_window(
        conn, state->depth, state->child, window, 0, 0, uint16_t(std::max(1, state->width)),
        uint16_t(std::max(1, state->height)), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
        XCB_CW_BACK_PIXMAP | XCB_CW_BORDER_PIXEL | XCB_CW_EVENT_MASK | XCB_CW_COLORMAP,
        childValues);
    state->gc = xcb_generate_id(conn);
    const uint32_t gcValues[] = {state->blackPixel, 0};
    xcb_create_gc(conn, state->gc, state->child, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES,
                  gcValues);
    xcb_map_window(conn, state->child);

    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(conn, &xcb_shm_id);
    const char* noShm = std::getenv("OLM_VOUT_NO_SHM");
    if (shm && shm->present && !(noShm && *noShm && std::strcmp(noShm, "0") != 0)) {
        auto version =
            owned(xcb_shm_query_version_reply(conn, xcb_shm_query_version(conn), nullptr));
        if (version) {
            state->useShm = true;
            state->shmCompletionEvent = uint8_t(shm->first_event + XCB_SHM_COMPLETION);
        }
    }
    xcb_flush(conn);
    return state.release();
}

int x11EventFd(BackendState* s) {
    return xcb_get_file_descriptor(s->conn);
}

WindowEvents x11TakeEvents(BackendState* s) {
    while (auto event = owned(xcb_poll_for_event(s->conn)))
        s->dispatch(event.get());
    if (xcb_connection_has_error(s->conn) && !s->gone) {
        s->gone = true;
        s->pending.gone = true;
    }
    WindowEvents events = s->pending;
    events.width = s->width;
    events.height = s->height;
    s->pending = WindowEvents{};
    return events;
}

bool x11HasPending(BackendState* s) {
    // Replies and waits for completion can leave events in xcb's queue, where a poll on the
    // descriptor would not see them.
    while (auto event = owned(xcb_poll_for_queued_event(s->conn)))
        s->dispatch(event.get());
    const WindowEvents& p = s->pending;
    return p.resized || p.exposed || p.gone;
}

void x11Present(BackendState* s, const Picture* picture, const Rect& rect) {
    if (s->gone || s->width <= 0 || s->height <= 0)
        return;
    const bool drawable = picture && !rect.empty();
    if (drawable)
        s->drawPicture(*picture, rect);
    s->fillBlack(rect, !drawable);
    xcb_flush(s->conn);
}

void x11Close(BackendState* s) {
    for (Segment& segment : s->segments)
        s->detachSegment(segment);
    if (!xcb_connection_has_error(s->conn)) {
        if (!s->gone) {
            xcb_free_gc(s->conn, s->gc);
            xcb_destroy_window(s->conn, s->child);
        }
        // Make sure the server has acted before the caller goes on (e.g. destroys the host).
        free(xcb_get_input_focus_reply(s->conn, xcb_get_input_focus(s->conn), nullptr));
    }
    xcb_disconnect(s->conn);
    delete s;
}

} // namespace

const BackendOps x11Backend = {
    .name = "x11",
    .open = x11Open,
    .eventFd = x11EventFd,
    .takeEvents = x11TakeEvents,
    .hasPending = x11HasPending,
    .present = x11Present,
    .close = x11Close,
};

} // namespace olm
