#include "screen/x_screen.h"

#include <xcb/present.h>
#include <xcb/shm.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

namespace {

template <typename T> std::unique_ptr<T, decltype(&std::free)> owned(T* p) {
    return {p, &std::free};
}

xcb_visualtype_t* findVisual(xcb_screen_t* screen, xcb_visualid_t id) {
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem; xcb_depth_next(&d))
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
            if (v.data->visual_id == id)
                return v.data;
    return nullptr;
}

// A channel's 8-bit value from a pixel, given the visual's mask for it.
int channel(uint32_t pixel, uint32_t mask) {
    if (mask == 0)
        return 0;
    const int shift = __builtin_ctz(mask);
    const uint32_t max = mask >> shift;
    return static_cast<int>(((pixel & mask) >> shift) * 255 / max);
}

uint32_t toChannel(int value, uint32_t mask) {
    if (mask == 0)
        return 0;
    const int shift = __builtin_ctz(mask);
    const uint32_t max = mask >> shift;
    return ((static_cast<uint32_t>(value) * max + 127) / 255) << shift;
}

int bitsPerPixel(const xcb_setup_t* setup, int depth, int* scanlinePad) {
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f))
        if (f.data->depth == depth) {
            *scanlinePad = f.data->scanline_pad;
            return f.data->bits_per_pixel;
        }
    return 0;
}

uint32_t readPixel(const uint8_t* p, int bytes, bool msbFirst) {
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= uint32_t(p[msbFirst ? i : bytes - 1 - i]) << (8 * (bytes - 1 - i));
    return value;
}

bool poll(const std::function<bool()>& done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace

XConnection::XConnection() : c_(xcb_connect(nullptr, nullptr)) {}
XConnection::~XConnection() {
    xcb_disconnect(c_);
}

bool XConnection::ok() const {
    return xcb_connection_has_error(c_) == 0;
}

xcb_screen_t* XConnection::screen() const {
    return xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
}

void XConnection::sync() const {
    free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
}

uint32_t XConnection::pixelOf(QRgb colour) const {
    const xcb_visualtype_t* v = findVisual(screen(), screen()->root_visual);
    if (!v)
        return 0;
    return toChannel(qRed(colour), v->red_mask) | toChannel(qGreen(colour), v->green_mask) |
           toChannel(qBlue(colour), v->blue_mask);
}

int XConnection::quantisation() const {
    const xcb_visualtype_t* v = findVisual(screen(), screen()->root_visual);
    if (!v)
        return 0;
    const int bits = std::min({__builtin_popcount(v->red_mask), __builtin_popcount(v->green_mask),
                               __builtin_popcount(v->blue_mask)});
    return bits >= 8 ? 0 : 255 / ((1 << bits) - 1) + 1;
}

xcb_window_t createHostWindow(const XConnection& x, int left, int top, int width, int height,
                              int timeoutMs) {
    xcb_screen_t* screen = x.screen();
    const xcb_window_t window = xcb_generate_id(x.get());
    const uint32_t values[] = {x.pixelOf(kHostBackground), 1};
    const auto cookie = xcb_create_window_checked(
        x.get(), XCB_COPY_FROM_PARENT, window, screen->root, int16_t(left), int16_t(top),
        uint16_t(width), uint16_t(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
        XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    if (auto error = owned(xcb_request_check(x.get(), cookie)))
        return 0;
    xcb_map_window(x.get(), window);
    return waitViewable(x, window, timeoutMs) ? window : 0;
}

bool waitViewable(const XConnection& x, xcb_window_t window, int timeoutMs) {
    return poll(
        [&] {
            auto attributes = owned(xcb_get_window_attributes_reply(
                x.get(), xcb_get_window_attributes(x.get(), window), nullptr));
            return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        },
        timeoutMs);
}

void resizeWindow(const XConnection& x, xcb_window_t window, int width, int height) {
    const uint32_t values[] = {uint32_t(width), uint32_t(height)};
    xcb_configure_window(x.get(), window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                         values);
    x.sync();
}

void setMapped(const XConnection& x, xcb_window_t window, bool mapped) {
    if (mapped)
        xcb_map_window(x.get(), window);
    else
        xcb_unmap_window(x.get(), window);
    x.sync();
}

std::vector<xcb_window_t> childrenOf(const XConnection& x, xcb_window_t window) {
    auto tree = owned(xcb_query_tree_reply(x.get(), xcb_query_tree(x.get(), window), nullptr));
    if (!tree)
        return {};
    const xcb_window_t* list = xcb_query_tree_children(tree.get());
    return {list, list + xcb_query_tree_children_length(tree.get())};
}

QImage captureWindow(const XConnection& x, xcb_window_t window) {
    auto geometry =
        owned(xcb_get_geometry_reply(x.get(), xcb_get_geometry(x.get(), window), nullptr));
    if (!geometry || geometry->width == 0 || geometry->height == 0)
        return {};
    const int width = geometry->width, height = geometry->height;
    auto image =
        owned(xcb_get_image_reply(x.get(),
                                  xcb_get_image(x.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0,
                                                uint16_t(width), uint16_t(height), ~0u),
                                  nullptr));
    if (!image)
        return {};
    const xcb_setup_t* setup = xcb_get_setup(x.get());
    const xcb_visualtype_t* visual =
        findVisual(x.screen(), image->visual ? image->visual : x.screen()->root_visual);
    int pad = 32;
    const int bpp = bitsPerPixel(setup, image->depth, &pad);
    if (!visual || bpp < 8 || bpp % 8 != 0)
        return {};
    const int bytes = bpp / 8;
    const int stride = ((width * bpp + pad - 1) / pad) * pad / 8;
    const int length = xcb_get_image_data_length(image.get());
    if (length < stride * height)
        return {};
    const uint8_t* data = xcb_get_image_data(image.get());
    const bool msbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
    QImage shot(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(shot.scanLine(y));
        for (int px = 0; px < width; ++px) {
            const uint32_t pixel = readPixel(data + y * stride + px * bytes, bytes, msbFirst);
            row[px] = qRgb(channel(pixel, visual->red_mask), channel(pixel, visual->green_mask),
                           channel(pixel, visual->blue_mask));
        }
    }
    return shot;
}

std::string checkReadBack(const XConnection& x, xcb_window_t window) {
    auto geometry =
        owned(xcb_get_geometry_reply(x.get(), xcb_get_geometry(x.get(), window), nullptr));
    if (!geometry)
        return "the window's geometry could not be read";
    const int16_t w = int16_t(geometry->width), h = int16_t(geometry->height);
    const int16_t halfW = int16_t(w / 2), halfH = int16_t(h / 2);
    const struct {
        QRgb colour;
        xcb_rectangle_t rect;
    } quadrants[] = {
        {qRgb(255, 0, 0), {0, 0, uint16_t(halfW), uint16_t(halfH)}},
        {qRgb(0, 255, 0), {halfW, 0, uint16_t(w - halfW), uint16_t(halfH)}},
        {qRgb(0, 0, 255), {0, halfH, uint16_t(halfW), uint16_t(h - halfH)}},
        {qRgb(255, 255, 255), {halfW, halfH, uint16_t(w - halfW), uint16_t(h - halfH)}},
    };
    const xcb_gcontext_t gc = xcb_generate_id(x.get());
    xcb_create_gc(x.get(), gc, window, 0, nullptr);
    for (const auto& q : quadrants) {
        const uint32_t foreground = x.pixelOf(q.colour);
        xcb_change_gc(x.get(), gc, XCB_GC_FOREGROUND, &foreground);
        xcb_poly_fill_rectangle(x.get(), window, gc, 1, &q.rect);
    }
    xcb_free_gc(x.get(), gc);
    const QImage shot = captureWindow(x, window);
    xcb_clear_area(x.get(), 0, window, 0, 0, 0, 0);
    x.sync();
    if (shot.isNull())
        return "GetImage on the window failed";
    for (const auto& q : quadrants) {
        const auto& r = q.rect;
        for (int y = r.y; y < r.y + r.height; ++y)
            for (int px = r.x; px < r.x + r.width; ++px)
                if (shot.pixel(px, y) != q.colour)
                    return "a plain X rectangle read back wrong at (" + std::to_string(px) + "," +
                           std::to_string(y) + ")";
    }
    return {};
}

xcb_window_t createChildWindow(const XConnection& x, xcb_window_t parent, int left, int top,
                               int width, int height) {
    const xcb_window_t window = xcb_generate_id(x.get());
    const uint32_t values[] = {x.screen()->black_pixel};
    auto error = owned(xcb_request_check(
        x.get(), xcb_create_window_checked(x.get(), XCB_COPY_FROM_PARENT, window, parent,
                                           int16_t(left), int16_t(top), uint16_t(width),
                                           uint16_t(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                                           x.screen()->root_visual, XCB_CW_BACK_PIXEL, values)));
    if (error)
        return 0;
    xcb_map_window(x.get(), window);
    x.sync();
    return window;
}

bool serverOffersShm(const XConnection& x) {
    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(x.get(), &xcb_shm_id);
    return shm && shm->present;
}

bool serverOffersPresent(const XConnection& x) {
    const xcb_query_extension_reply_t* present = xcb_get_extension_data(x.get(), &xcb_present_id);
    if (!present || !present->present)
        return false;
    auto version = owned(xcb_present_query_version_reply(
        x.get(), xcb_present_query_version(x.get(), 1, 2), nullptr));
    return version && version->major_version >= 1;
}

namespace {

// Asks for a notification at target (0: now) and waits for it; false when none came in time.
bool notifyAt(const XConnection& x, xcb_window_t window, uint32_t serial, uint64_t target,
              uint64_t* msc, uint64_t* ust, std::chrono::steady_clock::time_point end) {
    xcb_present_notify_msc(x.get(), window, serial, target, 0, 0);
    xcb_flush(x.get());
    const uint8_t opcode = xcb_get_extension_data(x.get(), &xcb_present_id)->major_opcode;
    while (std::chrono::steady_clock::now() < end) {
        auto event = owned(xcb_poll_for_event(x.get()));
        if (!event) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        auto* ge = reinterpret_cast<const xcb_ge_generic_event_t*>(event.get());
        if ((event->response_type & 0x7f) != XCB_GE_GENERIC || ge->extension != opcode ||
            ge->event_type != XCB_PRESENT_COMPLETE_NOTIFY)
            continue;
        auto* done = reinterpret_cast<const xcb_present_complete_notify_event_t*>(event.get());
        if (done->kind == XCB_PRESENT_COMPLETE_KIND_NOTIFY_MSC && done->serial == serial) {
            *msc = done->msc;
            *ust = done->ust;
            return true;
        }
    }
    return false;
}

} // namespace

uint32_t measureRefreshPeriodUs(const XConnection& x, xcb_window_t window, int timeoutMs) {
    if (!serverOffersPresent(x))
        return 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const uint32_t id = xcb_generate_id(x.get());
    xcb_present_select_input(x.get(), id, window, XCB_PRESENT_EVENT_MASK_COMPLETE_NOTIFY);
    uint64_t msc0 = 0, ust0 = 0, msc1 = 0, ust1 = 0;
    const bool measured = notifyAt(x, window, 1, 0, &msc0, &ust0, end) &&
                          notifyAt(x, window, 2, msc0 + 6, &msc1, &ust1, end) && msc1 > msc0 &&
                          ust1 > ust0;
    xcb_present_select_input(x.get(), id, window, 0);
    x.sync();
    return measured ? uint32_t((ust1 - ust0) / (msc1 - msc0)) : 0;
}

ServerGrab::ServerGrab(const XConnection& x) : x_(x) {
    xcb_grab_server(x_.get());
    x_.sync();
}

void ServerGrab::release() {
    if (!held_)
        return;
    held_ = false;
    xcb_ungrab_server(x_.get());
    x_.sync();
}
