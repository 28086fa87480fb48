#pragma once

// Where a picture goes inside a window for each display mode. Pure and X-free, so it can be
// tested on its own.

namespace olm {

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    bool empty() const { return width <= 0 || height <= 0; }
    bool operator==(const Rect&) const = default;
};

// The target rectangle for a picture of pictureWidth x pictureHeight samples, each sarNum:sarDen
// wide (a zero term: square), in a window of windowWidth x windowHeight: VOUT_NORMAL keeps the
// picture's display aspect, VOUT_4_3 and VOUT_16_9 fit that aspect, all three centred and as
// large as fits; VOUT_PREFERRED (and any unknown mode) fills the window. Empty when the window is.
Rect placePicture(int mode, int pictureWidth, int pictureHeight, int windowWidth, int windowHeight,
                  int sarNum = 1, int sarDen = 1);

// Scales in 120ths, as Wayland's fractional scale tells them (120: 1, 180: 1.5, 240: 2). A
// logical length in physical pixels, rounded; and a physical rectangle in logical coordinates,
// each edge rounded, so that rectangles side by side stay side by side (never empty for a
// non-empty one).
int toPhysical(int logical, int scale120);
Rect toLogical(const Rect& physical, int scale120);

// Up to four rectangles covering the window outside rect, the black borders.
struct Borders {
    Rect rects[4];
    int count = 0;
};
Borders bordersAround(const Rect& rect, int windowWidth, int windowHeight);

} // namespace olm
