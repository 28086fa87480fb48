#pragma once

// Small xcb helpers for tests: read back pixels from the X server, make plain windows, find and
// close top-level windows. Each call opens its own short connection, so tests can use them from
// any thread without sharing state.

#include <cstdint>
#include <string>
#include <vector>

struct Rgb {
    int r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

struct Snapshot {
    int width = 0, height = 0;
    std::vector<Rgb> pixels; // row-major, width * height
    Rgb at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// Reads the window's contents (including the children drawn over it) from the server: all of
// it, or the area of the given size at x, y (which must be on screen). Empty snapshot when the
// window is gone or unviewable.
Snapshot grabWindow(uint32_t window, int x = 0, int y = 0, int width = 0, int height = 0);

// A mapped window of the given size, filled with a grey background: top level on the default
// screen, or a child of parent. Kept until destroyPlainWindow or the end of the process.
uint32_t createPlainWindow(int width, int height, int x = 0, int y = 0, uint32_t parent = 0);
void resizeWindow(uint32_t window, int width, int height);
void destroyPlainWindow(uint32_t window);
// Unmaps and maps the window again, so its children are exposed afresh.
void remapWindow(uint32_t window);
void setMapped(uint32_t window, bool mapped);
// Moves the window into parent at x, y.
void reparentWindow(uint32_t window, uint32_t parent, int x = 0, int y = 0);

// Children of a window, in stacking order.
std::vector<uint32_t> childWindows(uint32_t window);
// Size of a window, or {0, 0} when it is gone.
std::pair<int, int> windowSize(uint32_t window);

// Top-level windows whose WM_NAME is exactly name (and, when pid is given, whose _NET_WM_PID is
// that process).
std::vector<uint32_t> findTopLevelWindows(const std::string& name, long long pid = 0);
// Asks the window to close as a window manager would (WM_DELETE_WINDOW).
void sendDeleteWindow(uint32_t window);

// True when the colours differ by at most tolerance in every channel.
bool near(const Rgb& a, const Rgb& b, int tolerance);
std::string toString(const Rgb& c);

// Where the four quarters of a picture (red top left, green top right, blue bottom left, white
// bottom right) land once it is turned clockwise by rotation: whether each lies left and top.
struct QuarterPlaces {
    bool redLeft, redTop, greenLeft, greenTop, blueLeft, blueTop;
};
QuarterPlaces quarterPlaces(int rotation);
// True when the picture of four quarters shows in rect (x, y, width, height) of the snapshot,
// turned by rotation: each quarter's centre within tolerance of its colour.
bool showsQuarters(const Snapshot& s, int x, int y, int width, int height, int rotation,
                   const Rgb colours[4], int tolerance);
