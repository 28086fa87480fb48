#pragma once

// The surfaces of one Wayland output, over a rectangle of the caller's surface: a black area (a
// 1x1 buffer the compositor scales to the rectangle) and the picture inside it, each placed and
// scaled by the compositor (wp_viewporter). The area follows the caller's surface in commits of
// its own (desynchronised), and the picture is a synchronised child of the area, so that its new
// content, size and place show together with the area's commit. Neither takes input: pointer and
// keys stay the caller's.

#include "placement.h"

#include <wayland-client.h>

struct wp_viewport;
struct wl_subsurface;

namespace olm::wayland {

class Display;
class Buffers;

class Surfaces {
public:
    Surfaces() = default;
    Surfaces(const Surfaces&) = delete;
    Surfaces& operator=(const Surfaces&) = delete;
    ~Surfaces();

    // Makes the area over `area` of host (shown black, or nothing while empty) and the picture
    // in it (nothing yet). False when the compositor refuses (then the caller destroys this).
    bool open(Display& display, Buffers& buffers, wl_surface* host, const Rect& area);
    // Resizes the area (a size of 0 hides it); shown at once.
    void resizeArea(int width, int height);
    // Moves the area; shown with the host's next commit. From any thread.
    void placeArea(int x, int y);
    // Shows buffer (of its own size) scaled into rect of the area, with the commit's frame
    // callback and presentation feedback asked by the caller on picture() before.
    void show(wl_buffer* buffer, const Rect& rect, bool damageInBuffer);
    // Shows no picture: the area all black.
    void clear();

    wl_surface* picture() const { return picture_; }

private:
    void commitArea();

    Buffers* buffers_ = nullptr;
    wl_surface* area_ = nullptr;
    wl_subsurface* areaRole_ = nullptr;
    wp_viewport* areaViewport_ = nullptr;
    wl_surface* picture_ = nullptr;
    wl_subsurface* pictureRole_ = nullptr;
    wp_viewport* pictureViewport_ = nullptr;
};

} // namespace olm::wayland
