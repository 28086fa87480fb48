#pragma once

// The tester's side of Wayland: one fullscreen surface of its own (so that surface coordinates
// are the output's), on which each host is a rectangle painted magenta, as each host on X is a
// window of that colour. An output is made on a host by naming the surface and the rectangle;
// what the compositor shows there is read back by cropping a screenshot of the whole output.

#include "wayland_host.h"

#include <QImage>
#include <QRect>

#include <map>
#include <string>

class WaylandScreen {
public:
    WaylandScreen();

    bool ok() const { return surface_.ready(); }
    WaylandHost& surface() { return surface_; }
    int width() const { return surface_.width(); }
    int height() const { return surface_.height(); }

    // A new host: the rectangle painted magenta and committed. Returns its id (never 0).
    uint32_t addHost(const QRect& rect);
    QRect rectOf(uint32_t host) const;
    // Moves or resizes a host: its old area back to the surface's own colour, the new one
    // magenta. Shown at the next commit.
    void setRect(uint32_t host, const QRect& rect);
    // Paints a host over with the surface's own colour (its outputs must be given an empty
    // rectangle by the caller); shown at the next commit.
    void removeHost(uint32_t host);

    // The host's rectangle as the compositor shows it, one pixel per logical pixel (on an output
    // of scale 2, each 2x2 block of the screen averaged); null when the output cannot be read.
    QImage capture(uint32_t host) const;
    // The same in the output's own pixels: scale() times the rectangle's size.
    QImage captureNative(uint32_t host) const;
    // The output's scale, the screen's pixels per logical pixel (whole): 1 until a capture
    // has shown it.
    int scale() const { return scale_; }
    // Paints four pure colours into the host, commits and waits (up to timeoutMs) until the
    // compositor shows them; then magenta again. Returns what went wrong, or an empty string.
    std::string checkReadBack(uint32_t host, int timeoutMs);

private:
    WaylandHost surface_;
    std::map<uint32_t, QRect> hosts_;
    uint32_t nextId_ = 1;
    mutable int scale_ = 1;
};

// The colour of the surface outside every host: a dark grey no picture of the checks uses.
inline constexpr uint32_t kWaylandSurfaceRgb = 0x303030;
