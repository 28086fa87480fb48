#pragma once

// The X11 backend's connection and window: the server's pixel layout, the child window the output
// draws in over the host window, and the events that say how both change, including whether the
// host can be seen at all (it and every window above it mapped). Shared by the two ways of
// getting pictures on screen (x11_image_path.h, x11_present_path.h).

#include "backend.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <xcb/xcb.h>
#include <xcb/xcbext.h> // xcb_poll_for_reply

#include <array>
#include <cstdlib>
#include <memory>
#include <string>

namespace olm::x11 {

template <typename T> std::unique_ptr<T, decltype(&std::free)> owned(T* p) {
    return {p, &std::free};
}

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
    int bytesPerPixel() const { return bitsPerPixel / 8; }
};

// X coordinates are 16-bit: an output covers at most this much of its window on each side (the
// top left of a larger one).
constexpr int kMaxSide = 32767;

struct Window {
    Window() = default;
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    // Disconnects a connection that close did not (when opening failed half-way).
    ~Window() {
        if (conn)
            xcb_disconnect(conn);
    }

    xcb_connection_t* conn = nullptr;
    xcb_window_t host = 0;
    xcb_window_t child = 0;
    xcb_gcontext_t gc = 0;
    uint8_t depth = 0;
    uint32_t blackPixel = 0;
    PixelLayout layout;
    int width = 0, height = 0; // of the child: the host's size, at most kMaxSide
    size_t maxRequestBytes = 0;
    bool gone = false;
    bool obscured = false;
    WindowEvents pending;

    // Connects, checks the host and covers it with the child window. False with *error set (and
    // nothing left open) when any of it fails.
    bool open(uint32_t window, std::string* error);
    // Takes in an event about the windows; false when the event is not one of those.
    bool dispatch(const xcb_generic_event_t* event);
    // Collects the answers of the walk up the window tree that have arrived, without waiting;
    // true when it took any.
    bool takeReplies();
    // Unmapped, below an unmapped window (a minimised top level) or fully covered: drawing would
    // show nothing.
    bool hidden() const { return obscured || !viewable(); }
    // Fills the parts of the drawable outside rect with black (all of it when everything).
    void fillBorders(xcb_drawable_t drawable, const Rect& rect, bool everything);
    // Frees the child window and the graphics context (when the server still has them), gives
    // the server at most boundMs to act on it, and disconnects.
    void close(int boundMs);

private:
    // The host and the windows above it, up to the root, with whether each is mapped. What is
    // known of a window's mapping comes from an event or from the answer to a question, whichever
    // the server sent last: `since` is the request the server had done when it said so.
    struct Ancestor {
        xcb_window_t window = 0;
        bool mapped = true;
        uint32_t since = 0;
        bool fromEvent = false;
        uint32_t attributesRequest = 0; // the question about its mapping, while unanswered
    };
    // Window trees are shallow; the bound only guards against a tree changing under the walk.
    static constexpr size_t kMaxAncestors = 64;

    // Starts finding the host's ancestors anew (after a reparent, say); the walk goes on in
    // takeReplies, one level per answer, and never waits for the server.
    void walkAncestors();
    // Asks for the parent of the last window found.
    void askParent();
    void learnMapping(Ancestor& ancestor, bool mapped, uint32_t since, bool fromEvent);
    void sizeFromHost(int hostWidth, int hostHeight);
    bool viewable() const;

    std::array<Ancestor, kMaxAncestors> ancestors_{}; // [0] is the host
    size_t ancestorCount_ = 0;
    uint32_t treeRequest_ = 0; // the question for a parent, while unanswered
};

// True when the environment variable is set to something other than "" or "0".
bool envFlag(const char* name);

} // namespace olm::x11
