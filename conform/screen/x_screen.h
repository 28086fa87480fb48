#pragma once

// The tester's side of X: its own connection, host windows for the outputs under test, and
// reading the screen back into images. Host windows are override-redirect, so no window manager
// moves, decorates or covers them, and their background is a loud colour, so that any part of a
// host an output leaves unpainted shows.

#include <QImage>
#include <xcb/xcb.h>

#include <string>
#include <vector>

// The background of every host window: pure magenta.
inline constexpr QRgb kHostBackground = 0xffff00ff;

class XConnection {
public:
    XConnection(); // to $DISPLAY
    ~XConnection();
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    bool ok() const;
    xcb_connection_t* get() const { return c_; }
    xcb_screen_t* screen() const;
    // Waits until the server has handled every request sent so far.
    void sync() const;
    // The pixel value of an RGB colour in the screen's default visual.
    uint32_t pixelOf(QRgb colour) const;
    // Levels a channel may be off on this screen beyond what 8 bits a channel keep (0 at depth
    // 24; about 9 on a 16-bit screen, whose 5-bit channels step by 8).
    int quantisation() const;

private:
    xcb_connection_t* c_;
};

// A mapped override-redirect window at (x, y) of the root, magenta, waited for until it is
// viewable (0 when it could not be made or did not become viewable within timeoutMs).
xcb_window_t createHostWindow(const XConnection& x, int left, int top, int width, int height,
                              int timeoutMs);
void resizeWindow(const XConnection& x, xcb_window_t window, int width, int height);
void setMapped(const XConnection& x, xcb_window_t window, bool mapped);
bool waitViewable(const XConnection& x, xcb_window_t window, int timeoutMs);
std::vector<xcb_window_t> childrenOf(const XConnection& x, xcb_window_t window);

// The window's contents as the screen shows them, child windows included; a null image when
// the window is gone, unviewable or the server refuses.
QImage captureWindow(const XConnection& x, xcb_window_t window);

// Draws four pure colours into window with plain X requests and reads them back. Returns what
// went wrong, or an empty string when the screen read back as drawn. Leaves the window cleared
// to its background.
std::string checkReadBack(const XConnection& x, xcb_window_t window);

// A mapped window of the given place and size inside parent (black), waited for until viewable
// when its parent is (0 when it could not be made).
xcb_window_t createChildWindow(const XConnection& x, xcb_window_t parent, int left, int top,
                               int width, int height);
// Whether the server offers MIT-SHM.
bool serverOffersShm(const XConnection& x);
// Whether the server offers X Present 1.0 or later.
bool serverOffersPresent(const XConnection& x);
// The display's refresh period as the server's own Present notifications give it (0 without
// Present, or when no answer came within timeoutMs).
uint32_t measureRefreshPeriodUs(const XConnection& x, xcb_window_t window, int timeoutMs);

// Holds the whole server for this connection: other clients' requests wait until release.
class ServerGrab {
public:
    explicit ServerGrab(const XConnection& x);
    ~ServerGrab() { release(); }
    ServerGrab(const ServerGrab&) = delete;
    ServerGrab& operator=(const ServerGrab&) = delete;
    void release();

private:
    const XConnection& x_;
    bool held_ = true;
};
