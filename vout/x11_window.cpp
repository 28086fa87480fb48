#include "x11_window.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace olm::x11 {

namespace {

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

std::string xError(const char* what, uint32_t window, const xcb_generic_error_t& error) {
    char text[160];
    std::snprintf(text, sizeof text, "cannot %s on window 0x%x (X error %d)", what, window,
                  error.error_code);
    return text;
}

} // namespace

bool envFlag(const char* name) {
    const char* value = std::getenv(name);
    return value && *value && std::strcmp(value, "0") != 0;
}

bool Window::open(uint32_t window, std::string* error) {
    int screenNumber = 0;
    conn = xcb_connect(nullptr, &screenNumber);
    auto fail = [&](std::string why) {
        *error = std::move(why);
        xcb_disconnect(conn); // the server frees what this connection made
        conn = nullptr;
        return false;
    };
    if (xcb_connection_has_error(conn)) {
        const char* display = std::getenv("DISPLAY");
        return fail(std::string("cannot open the X display \"") + (display ? display : "") + "\"");
    }

    // Follow the host's size and mapping and notice when it goes, before asking how it is now: a
    // change in between then comes as an event instead of being missed. Each client has its own
    // event mask on a window, so this leaves the host's own selection alone.
    const uint32_t hostEvents[] = {XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    const auto selected =
        xcb_change_window_attributes_checked(conn, window, XCB_CW_EVENT_MASK, hostEvents);
    const auto attrsCookie = xcb_get_window_attributes(conn, window);
    auto attrs = owned(xcb_get_window_attributes_reply(conn, attrsCookie, nullptr));
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
    layout = layoutFor(setup, screen->root_depth, visual);
    if (layout.format == AV_PIX_FMT_NONE) {
        char text[96];
        std::snprintf(text, sizeof text, "unsupported visual (depth %d, masks %06x/%06x/%06x)",
                      screen->root_depth, visual->red_mask, visual->green_mask, visual->blue_mask);
        return fail(text);
    }

    host = window;
    depth = screen->root_depth;
    blackPixel = screen->black_pixel;
    sizeFromHost(geometry->width, geometry->height);
    maxRequestBytes = size_t(xcb_get_maximum_request_length(conn)) * 4 - 64;
    ancestors_[0] = Ancestor{window, attrs->map_state != XCB_MAP_STATE_UNMAPPED,
                             attrsCookie.sequence, false, 0};
    ancestorCount_ = 1;

    // A child window of our own, so the host's painting of its background never overwrites a
    // picture. It selects exposure and visibility only: pointer and key events pass on to the
    // host.
    child = xcb_generate_id(conn);
    const uint32_t childValues[] = {XCB_BACK_PIXMAP_NONE, blackPixel,
                                    XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_VISIBILITY_CHANGE,
                                    screen->default_colormap};
    const auto created = xcb_create_window_checked(
        conn, depth, child, window, 0, 0, uint16_t(width), uint16_t(height), 0,
        XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
        XCB_CW_BACK_PIXMAP | XCB_CW_BORDER_PIXEL | XCB_CW_EVENT_MASK | XCB_CW_COLORMAP,
        childValues);
    gc = xcb_generate_id(conn);
    const uint32_t gcValues[] = {blackPixel, 0};
    const auto gcMade = xcb_create_gc_checked(
        conn, gc, child, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, gcValues);
    const auto mapped = xcb_map_window_checked(conn, child);
    // Each of these is needed for a single picture to show: check them all (one round trip).
    const std::pair<xcb_void_cookie_t, const char*> steps[] = {
        {selected, "follow the host window"},
        {created, "create the output's window"},
        {gcMade, "create a graphics context"},
        {mapped, "map the output's window"}};
    for (const auto& [cookie, what] : steps)
        if (auto e = owned(xcb_request_check(conn, cookie)))
            return fail(xError(what, window, *e));
    walkAncestors();
    return true;
}

void Window::sizeFromHost(int hostWidth, int hostHeight) {
    width = std::clamp(hostWidth, 1, kMaxSide);
    height = std::clamp(hostHeight, 1, kMaxSide);
}

void Window::walkAncestors() {
    for (size_t i = 1; i < ancestorCount_; ++i)
        if (ancestors_[i].attributesRequest)
            xcb_discard_reply(conn, ancestors_[i].attributesRequest);
    if (treeRequest_)
        xcb_discard_reply(conn, treeRequest_);
    ancestorCount_ = 1;
    askParent();
}

void Window::askParent() {
    treeRequest_ = xcb_query_tree(conn, ancestors_[ancestorCount_ - 1].window).sequence;
}

bool Window::takeReplies() {
    bool took = false;
    for (size_t i = 1; i < ancestorCount_; ++i) {
        Ancestor& a = ancestors_[i];
        if (!a.attributesRequest)
            continue;
        void* reply = nullptr;
        xcb_generic_error_t* error = nullptr;
        if (!xcb_poll_for_reply(conn, a.attributesRequest, &reply, &error))
            continue;
        auto attrs = owned(static_cast<xcb_get_window_attributes_reply_t*>(reply));
        std::free(error); // gone meanwhile: its destruction takes the host with it
        if (attrs)
            learnMapping(a, attrs->map_state != XCB_MAP_STATE_UNMAPPED, a.attributesRequest, false);
        a.attributesRequest = 0;
        took = true;
    }
    if (!treeRequest_)
        return took;
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (!xcb_poll_for_reply(conn, treeRequest_, &reply, &error))
        return took;
    treeRequest_ = 0;
    auto tree = owned(static_cast<xcb_query_tree_reply_t*>(reply));
    std::free(error);
    if (!tree || tree->parent == XCB_NONE || tree->parent == tree->root ||
        ancestorCount_ == kMaxAncestors)
        return true; // at the top
    // Its mapping is asked after its events are selected, so no change in between is missed.
    const uint32_t events[] = {XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_change_window_attributes(conn, tree->parent, XCB_CW_EVENT_MASK, events);
    Ancestor& parent = ancestors_[ancestorCount_++];
    parent = Ancestor{tree->parent, true, 0, false, 0};
    parent.attributesRequest = xcb_get_window_attributes(conn, tree->parent).sequence;
    askParent();
    return true;
}

void Window::learnMapping(Ancestor& ancestor, bool mapped, uint32_t since, bool fromEvent) {
    // Answers and events are read from different queues: the later word of the server wins, and
    // an event sent after the request that an answer answers is the later one.
    if (ancestor.since != 0 || ancestor.fromEvent) {
        const int32_t age = int32_t(since - ancestor.since);
        if (age < 0 || (age == 0 && ancestor.fromEvent && !fromEvent))
            return;
    }
    ancestor.mapped = mapped;
    ancestor.since = since;
    ancestor.fromEvent = fromEvent;
}

bool Window::viewable() const {
    for (size_t i = 0; i < ancestorCount_; ++i)
        if (!ancestors_[i].mapped)
            return false;
    return true;
}

bool Window::dispatch(const xcb_generic_event_t* event) {
    switch (event->response_type & 0x7f) {
    case XCB_EXPOSE: {
        auto* e = reinterpret_cast<const xcb_expose_event_t*>(event);
        if (e->window == child && e->count == 0)
            pending.exposed = true;
        return true;
    }
    case XCB_VISIBILITY_NOTIFY: {
        auto* e = reinterpret_cast<const xcb_visibility_notify_event_t*>(event);
        if (e->window == child)
            obscured = e->state == XCB_VISIBILITY_FULLY_OBSCURED;
        return true;
    }
    case XCB_MAP_NOTIFY:
    case XCB_UNMAP_NOTIFY: {
        auto* e = reinterpret_cast<const xcb_map_notify_event_t*>(event);
        for (size_t i = 0; i < ancestorCount_; ++i)
            if (ancestors_[i].window == e->window)
                learnMapping(ancestors_[i], (event->response_type & 0x7f) == XCB_MAP_NOTIFY,
                             event->full_sequence, true);
        return true;
    }
    case XCB_REPARENT_NOTIFY: {
        auto* e = reinterpret_cast<const xcb_reparent_notify_event_t*>(event);
        for (size_t i = 0; i < ancestorCount_; ++i) {
            if (ancestors_[i].window == e->window) {
                walkAncestors(); // the windows above the host are others now
                break;
            }
        }
        return true;
    }
    case XCB_CONFIGURE_NOTIFY: {
        auto* e = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
        if (e->window != host)
            return true;
        const int oldWidth = width, oldHeight = height;
        sizeFromHost(e->width, e->height);
        if (width != oldWidth || height != oldHeight) {
            // Sent with the next flush, which the pump makes however the output is drawing.
            const uint32_t size[] = {uint32_t(width), uint32_t(height)};
            xcb_configure_window(conn, child, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                                 size);
            pending.resized = true;
        }
        return true;
    }
    case XCB_DESTROY_NOTIFY: {
        auto* e = reinterpret_cast<const xcb_destroy_notify_event_t*>(event);
        if (e->window == host) {
            gone = true;
            pending.gone = true;
        }
        return true;
    }
    default:
        return false;
    }
}

void Window::fillBorders(xcb_drawable_t drawable, const Rect& rect, bool everything) {
    const Borders borders =
        everything ? bordersAround(Rect{}, width, height) : bordersAround(rect, width, height);
    if (borders.count == 0)
        return;
    xcb_rectangle_t rects[4];
    for (int i = 0; i < borders.count; ++i) {
        const Rect& r = borders.rects[i];
        rects[i] = {int16_t(r.x), int16_t(r.y), uint16_t(r.width), uint16_t(r.height)};
    }
    xcb_poly_fill_rectangle(conn, drawable, gc, uint32_t(borders.count), rects);
}

void Window::close(int boundMs) {
    if (!conn)
        return;
    if (!xcb_connection_has_error(conn) && !gone) {
        xcb_free_gc(conn, gc);
        xcb_destroy_window(conn, child);
    }
    // Make sure the server has acted before the caller goes on (e.g. destroys the host), but do
    // not wait for a server that does not answer.
    if (!xcb_connection_has_error(conn)) {
        const auto cookie = xcb_get_input_focus(conn);
        xcb_flush(conn);
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
        for (;;) {
            void* reply = nullptr;
            xcb_generic_error_t* error = nullptr;
            if (xcb_poll_for_reply(conn, cookie.sequence, &reply, &error) ||
                xcb_connection_has_error(conn)) {
                std::free(reply);
                std::free(error);
                break;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd pfd{xcb_get_file_descriptor(conn), POLLIN, 0};
            poll(&pfd, 1, int(left.count()));
        }
    }
    xcb_disconnect(conn);
    conn = nullptr;
}

} // namespace olm::x11
