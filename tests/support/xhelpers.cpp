#include "xhelpers.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace {

struct Connection {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    ~Connection() { xcb_disconnect(c); }
    xcb_screen_t* screen() const { return xcb_setup_roots_iterator(xcb_get_setup(c)).data; }
};

template <typename T> std::unique_ptr<T, decltype(&std::free)> owned(T* p) {
    return {p, &std::free};
}

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    auto reply = owned(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

// Extracts one channel from a pixel given the visual's mask.
int channel(uint32_t pixel, uint32_t mask) {
    if (mask == 0)
        return 0;
    int shift = __builtin_ctz(mask);
    uint32_t value = (pixel & mask) >> shift;
    uint32_t max = mask >> shift;
    return static_cast<int>(value * 255 / max);
}

// The connection that owns the windows tests make, one per display: it lives as long as the
// process, so a window outlasts the short connections here, and the server frees what is left (and
// the client's slot) when the process ends.
xcb_connection_t* windowOwner() {
    struct Owners {
        std::mutex mutex;
        std::map<std::string, xcb_connection_t*> byDisplay;
        ~Owners() {
            for (auto& [display, c] : byDisplay)
                xcb_disconnect(c);
        }
    };
    static Owners owners;
    const char* display = std::getenv("DISPLAY");
    std::lock_guard lock(owners.mutex);
    xcb_connection_t*& owner = owners.byDisplay[display ? display : ""];
    // A server that ended (a test's own) may have been followed by another on the same display.
    if (owner && !xcb_connection_has_error(owner))
        free(xcb_get_input_focus_reply(owner, xcb_get_input_focus(owner), nullptr));
    if (!owner || xcb_connection_has_error(owner)) {
        if (owner)
            xcb_disconnect(owner);
        owner = xcb_connect(nullptr, nullptr);
    }
    return owner;
}

xcb_visualtype_t* findVisual(xcb_screen_t* screen, xcb_visualid_t id) {
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem; xcb_depth_next(&d))
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
            if (v.data->visual_id == id)
                return v.data;
    return nullptr;
}

} // namespace

Snapshot grabWindow(uint32_t window, int x, int y, int width, int height) {
    Connection conn;
    Snapshot snap;
    auto geo = owned(xcb_get_geometry_reply(conn.c, xcb_get_geometry(conn.c, window), nullptr));
    if (!geo || geo->width == 0 || geo->height == 0)
        return snap;
    if (width > 0 && height > 0) {
        geo->width = uint16_t(width);
        geo->height = uint16_t(height);
    } else {
        x = y = 0;
    }
    auto attrs = owned(xcb_get_window_attributes_reply(
        conn.c, xcb_get_window_attributes(conn.c, window), nullptr));
    if (!attrs)
        return snap;
    xcb_visualtype_t* visual = findVisual(conn.screen(), attrs->visual);
    auto image = owned(
        xcb_get_image_reply(conn.c,
                            xcb_get_image(conn.c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, int16_t(x),
                                          int16_t(y), geo->width, geo->height, ~0u),
                            nullptr));
    if (!image || !visual)
        return snap;
    const uint8_t* data = xcb_get_image_data(image.get());
    const int length = xcb_get_image_data_length(image.get());
    const int bpp = length / (geo->width * geo->height) >= 4 ? 4 : 2;
    const int stride = length / geo->height;
    snap.width = geo->width;
    snap.height = geo->height;
    snap.pixels.resize(static_cast<size_t>(snap.width) * snap.height);
    for (int y = 0; y < snap.height; ++y) {
        for (int x = 0; x < snap.width; ++x) {
            const uint8_t* p = data + y * stride + x * bpp;
            uint32_t pixel =
                bpp == 4 ? p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24 : p[0] | p[1] << 8;
            snap.pixels[static_cast<size_t>(y) * snap.width + x] = {
                channel(pixel, visual->red_mask), channel(pixel, visual->green_mask),
                channel(pixel, visual->blue_mask)};
        }
    }
    return snap;
}

uint32_t createPlainWindow(int width, int height, int x, int y, uint32_t parent) {
    xcb_connection_t* c = windowOwner();
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_window_t window = xcb_generate_id(c);
    const uint32_t values[] = {0x808080u};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, parent ? parent : screen->root, int16_t(x),
                      int16_t(y), static_cast<uint16_t>(width), static_cast<uint16_t>(height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL,
                      values);
    xcb_map_window(c, window);
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    return window;
}

void resizeWindow(uint32_t window, int width, int height) {
    Connection conn;
    const uint32_t values[] = {static_cast<uint32_t>(width), static_cast<uint32_t>(height)};
    xcb_configure_window(conn.c, window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                         values);
    free(xcb_get_input_focus_reply(conn.c, xcb_get_input_focus(conn.c), nullptr));
}

void destroyPlainWindow(uint32_t window) {
    Connection conn;
    xcb_destroy_window(conn.c, window);
    free(xcb_get_input_focus_reply(conn.c, xcb_get_input_focus(conn.c), nullptr));
}

void remapWindow(uint32_t window) {
    Connection conn;
    xcb_unmap_window(conn.c, window);
    xcb_map_window(conn.c, window);
    free(xcb_get_input_focus_reply(conn.c, xcb_get_input_focus(conn.c), nullptr));
}

void setMapped(uint32_t window, bool mapped) {
    Connection conn;
    if (mapped)
        xcb_map_window(conn.c, window);
    else
        xcb_unmap_window(conn.c, window);
    free(xcb_get_input_focus_reply(conn.c, xcb_get_input_focus(conn.c), nullptr));
}

void reparentWindow(uint32_t window, uint32_t parent, int x, int y) {
    Connection conn;
    xcb_reparent_window(conn.c, window, parent, int16_t(x), int16_t(y));
    free(xcb_get_input_focus_reply(conn.c, xcb_get_input_focus(conn.c), nullptr));
}

std::vector<uint32_t> childWindows(uint32_t window) {
    Connection conn;
    std::vector<uint32_t> children;
    auto tree = owned(xcb_query_tree_reply(conn.c, xcb_query_tree(conn.c, window), nullptr));
    if (!tree)
        return children;
    const xcb_window_t* list = xcb_query_tree_children(tree.get());
    children.assign(list, list + xcb_query_tree_children_length(tree.get()));
    return children;
}

std::pair<int, int> windowSize(uint32_t window) {
    Connection conn;
    auto geo = owned(xcb_get_geometry_reply(conn.c, xcb_get_geometry(conn.c, window), nullptr));
    if (!geo)
        return {0, 0};
    return {geo->width, geo->height};
}

std::vector<uint32_t> findTopLevelWindows(const std::string& name, long long pid) {
    Connection conn;
    std::vector<uint32_t> found;
    auto tree =
        owned(xcb_query_tree_reply(conn.c, xcb_query_tree(conn.c, conn.screen()->root), nullptr));
    if (!tree)
        return found;
    const xcb_window_t* list = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
        auto prop =
            owned(xcb_get_property_reply(conn.c,
                                         xcb_get_property(conn.c, 0, list[i], XCB_ATOM_WM_NAME,
                                                          XCB_GET_PROPERTY_TYPE_ANY, 0, 256),
                                         nullptr));
        if (!prop)
            continue;
        std::string value(static_cast<const char*>(xcb_get_property_value(prop.get())),
                          xcb_get_property_value_length(prop.get()));
        if (value != name)
            continue;
        if (pid) {
            auto owner = owned(xcb_get_property_reply(conn.c,
                                                      xcb_get_property(conn.c, 0, list[i],
                                                                       atom(conn.c, "_NET_WM_PID"),
                                                                       XCB_ATOM_CARDINAL, 0, 1),
                                                      nullptr));
            if (!owner || xcb_get_property_value_length(owner.get()) != 4 ||
                *static_cast<const uint32_t*>(xcb_get_property_value(owner.get())) != pid)
                continue;
        }
        found.push_back(list[i]);
    }
    return found;
}

void sendDeleteWindow(uint32_t window) {
    Connection conn;
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = atom(conn.c, "WM_PROTOCOLS");
    event.data.data32[0] = atom(conn.c, "WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(conn.c, 0, window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&event));
    free(xcb_get_input_focus_reply(conn.c, xcb_get_input_focus(conn.c), nullptr));
}

bool near(const Rgb& a, const Rgb& b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

std::string toString(const Rgb& c) {
    return "rgb(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) +
           ")";
}

QuarterPlaces quarterPlaces(int rotation) {
    switch (rotation) {
    case 90:
        return {false, true, false, false, true, true};
    case 180:
        return {false, false, true, false, false, true};
    case 270:
        return {true, false, true, true, false, false};
    default:
        return {true, true, false, true, true, false};
    }
}

bool showsQuarters(const Snapshot& s, int x, int y, int width, int height, int rotation,
                   const Rgb colours[4], int tolerance) {
    if (s.width < x + width || s.height < y + height)
        return false;
    auto at = [&](bool left, bool top) {
        return s.at(x + (left ? width / 4 : 3 * width / 4),
                    y + (top ? height / 4 : 3 * height / 4));
    };
    const QuarterPlaces q = quarterPlaces(rotation);
    return near(at(q.redLeft, q.redTop), colours[0], tolerance) &&
           near(at(q.greenLeft, q.greenTop), colours[1], tolerance) &&
           near(at(q.blueLeft, q.blueTop), colours[2], tolerance) &&
           near(at(!q.redLeft, !q.redTop), colours[3], tolerance);
}
