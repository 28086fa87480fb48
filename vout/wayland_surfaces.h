#pragma once

// The surfaces of one Wayland output, over a rectangle of the caller's surface: a black area and
// the picture inside it. Both are placed in the host's logical coordinates and, where the
// compositor offers wp_viewporter, scaled by it; without it their buffers have their logical size
// times an integer buffer scale. The area commits on its own (desynchronised) so that pictures
// come at their own pace; the picture is a synchronised child of the area, so that its content,
// size and place show together. A layout change (the rectangle moved or resized) switches the
// area to synchronised until the host's next commit has shown it, so that the area's new place
// and size and the picture's land in one step. Neither surface takes input.
//
// The area also learns the scale the compositor wants for it: wp_fractional_scale_v1 where
// offered, else the largest scale of the outputs it is on.
//
// Every member runs under the output's layout lock (render thread, or the caller's thread for
// setLayout).

#include "placement.h"

#include <wayland-client.h>

#include <vector>

struct wp_viewport;
struct wp_fractional_scale_v1;
struct wl_subsurface;

namespace olm::wayland {

class Queue;
class Buffers;

class Surfaces {
public:
    Surfaces() = default;
    Surfaces(const Surfaces&) = delete;
    Surfaces& operator=(const Surfaces&) = delete;
    ~Surfaces();

    // Makes the area over `area` of host (logical; black, or nothing while empty) and the picture
    // in it (nothing yet). False when the compositor refuses (then the caller destroys this).
    bool open(Queue& queue, Buffers& buffers, wl_surface* host, const Rect& area);
    // The rectangle moved or changed size: the area's new place and size, and the picture (when
    // one is shown) at `picture` of it, all shown together with the host's next commit.
    void setLayout(const Rect& area, const Rect* picture);
    // Shows buffer scaled into rect of the area (logical), with the commit's frame callback and
    // presentation feedback asked by the caller on picture() before. bufferScale: the integer
    // scale of a buffer that is not scaled by a viewport.
    void show(wl_buffer* buffer, const Rect& rect, int bufferScale, bool damageInBuffer);
    // Shows no picture: the area all black.
    void clear();

    wl_surface* picture() const { return picture_; }
    // The scale the compositor wants, in 120ths (120: 1, 180: 1.5); changed() tells once that it
    // changed since the last call.
    int scale120() const;
    bool scaleChanged();
    // True when the output scales on the CPU and sizes buffers in whole multiples of the scale.
    bool scalesItself() const { return areaViewport_ == nullptr; }
    // The integer buffer scale used without a viewport.
    int bufferScale() const;

    // For the listeners.
    void entered(wl_output* output);
    void left(wl_output* output);
    void preferredScale(uint32_t scale120);
    void layoutShown(wl_callback* callback);

private:
    void resizeArea(int width, int height);
    void commitArea();

    Queue* queue_ = nullptr;
    Buffers* buffers_ = nullptr;
    wl_surface* area_ = nullptr;
    wl_subsurface* areaRole_ = nullptr;
    wp_viewport* areaViewport_ = nullptr;
    wl_surface* picture_ = nullptr;
    wl_subsurface* pictureRole_ = nullptr;
    wp_viewport* pictureViewport_ = nullptr;
    wp_fractional_scale_v1* fractional_ = nullptr;
    std::vector<wl_output*> outputs_; // the outputs the area is on
    uint32_t preferred120_ = 0;       // from wp_fractional_scale_v1; 0 before it said
    int lastScale120_ = 0;
    wl_callback* layoutShown_ = nullptr; // the frame after a layout change, while synchronised
};

} // namespace olm::wayland
