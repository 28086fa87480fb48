#pragma once

// What the checks share inside their process: the display (an X connection, or on Wayland a
// fullscreen surface of the tester's), hosts proven to read back (X windows, or rectangles of
// that surface), outputs created as the bench creates them, puts of reference pictures, and
// waiting for the screen to show what a check expects. Every wait polls a condition against a
// deadline scaled by --timeout-factor, and stops early once the screen has changed and settled on
// something else: a wrong picture is judged as soon as it stays, not when the deadline runs out.

#include "judge/picture_judges.h"
#include "judge/reference.h"
#include "run/check.h"
#include "run/drawing_paths.h"
#include "screen/wayland_screen.h"
#include "screen/x_screen.h"

#include <functional>
#include <map>
#include <memory>

// A host an output draws in: an X window id, or on Wayland the id of a rectangle of the tester's
// surface.
using HostId = uint32_t;

// How long a check waits, unscaled, for the screen to show what it expects. Generous: the
// project's own library shows a picture within a refresh or two.
inline constexpr int kWaitMs = 2000;

class Scene {
public:
    explicit Scene(CheckContext& context);
    // Leaves the Wayland connection open for the outputs still alive: they use it until the
    // check's process ends.
    ~Scene();
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;

    CheckContext& ctx;
    const VoutApi& api;
    XConnection x; // not connected on Wayland, where no check that uses it runs

    bool onWayland() const { return wayland_ != nullptr; }

    // A host window, placed right of the previous ones so that none overlaps another. In a
    // pixel check, the check ends unresolved when a plain X pattern drawn into it does not read
    // back.
    HostId host(int width, int height);
    // An output created with the bench's record: the window id, the value 3, zeros after. On
    // Wayland the record names the tester's surface and the host's rectangle, and the surface is
    // committed after the call, as the header asks.
    olm_vout_t* create(HostId host, uint32_t poolDepth = 3);
    // The record create passes for host.
    olm_vout_params paramsFor(HostId host, uint32_t poolDepth = 3) const;
    // create, ending the check as failed when it returns null.
    olm_vout_t* requireOutput(HostId host, uint32_t poolDepth = 3);
    // olm_vout_set_display_mode, ending the check as failed unless it returns OLM_VOUT_OK.
    void requireMode(olm_vout_t* vout, int mode);

    int put(olm_vout_t* vout, const YuvPicture& picture);
    // put, ending the check as failed unless it returns OLM_VOUT_OK.
    void requirePut(olm_vout_t* vout, const YuvPicture& picture);
    int putPicture(olm_vout_t* vout, const olm_vout_picture& picture);
    // putPicture, ending the check as failed unless it returns OLM_VOUT_OK.
    void requirePutPicture(olm_vout_t* vout, const olm_vout_picture& picture,
                           const std::string& what);

    // The tester's own changes to a host, each remembered as the screen a following wait must
    // see change: resizing, unmapping and mapping, and covering it with a window of its own.
    // On Wayland a resize is the host's new rectangle, told to each of its outputs with
    // olm_vout_set_video_rect and then committed; hiding is unmapping the whole surface.
    void resize(HostId host, int width, int height);
    void setHostMapped(HostId host, bool mapped);
    // Wayland: tells vout that it now covers host `to`'s rectangle (olm_vout_set_video_rect),
    // without committing the tester's surface; returns the call's result.
    int moveOutput(olm_vout_t* vout, HostId to);
    // Wayland: commits the tester's surface, as a toolkit does once it drew a new layout.
    void commitSurface();
    // Takes a host out of sight, so that it does not stand in the way of the next one.
    void retire(HostId host);
    // A window of the tester's over part of the host (host coordinates), shown at once. On
    // Wayland, where the compositor keeps every surface's contents and nothing is ever exposed,
    // neither does anything.
    xcb_window_t cover(HostId host, int left, int top, int width, int height);
    // Takes a cover away again: the part it hid is exposed.
    void uncover(HostId host, xcb_window_t cover);
    // Remembers how the host looks now: the next wait on it counts a change from this.
    void mark(HostId host);

    // The host as the screen shows it; ends the check unresolved when it cannot be read. In
    // logical pixels, unless lookInScreenPixels(true) asked for the screen's own.
    QImage capture(HostId host);
    // The screen's pixels per logical pixel: the Wayland output's scale, 1 on X11.
    int screenScale() const { return onWayland() ? wayland_->scale() : 1; }
    // Every look of the check (capture, waits) in the screen's own pixels from now on, for
    // checks of single pixels on a scaled output.
    void lookInScreenPixels(bool native) { native_ = native; }

    struct Seen {
        QImage image;
        bool arrived = false;
    };
    // Polls the host until arrived() holds on a screen that then stays unchanged for a short
    // quiet time. Gives up when the time is up, or earlier when the screen changed from the one
    // marked last and then stayed on something else for a settling time (arrived false, image
    // the last screen seen).
    Seen waitFor(HostId host, const std::function<bool(const QImage&)>& arrived,
                 int timeoutMs = kWaitMs);

    // Waits until the colour sample() takes from the screen is neither black (an output with no
    // picture yet) nor the host's background: the first picture has been drawn, right or wrong.
    Seen waitForDrawn(HostId host, const std::function<QRgb(const QImage&)>& sample);
    // Waits until the host shows colour placed at want (see judgePlacement).
    Seen waitForPlacement(HostId host, const RectF& want, QRgb colour);

    // Puts a flat picture of one colour (BT.601, limited range) and waits until the window's
    // centre shows it: a new picture has arrived.
    Seen showFlat(olm_vout_t* vout, HostId host, int width, int height, QRgb colour);

    // Puts the standard patch sheet under a matrix and range with the given strides (0: none)
    // into a window of the sheet's size, on an output of its own, and judges its colours once
    // the marker patch shows something drawn. Through olm_vout_put_picture when viaPicture,
    // otherwise olm_vout_put_buffer_pool_yuv (BT.601 limited, U and V strides from Y's).
    void checkSheet(Verdict& verdict, const ColourMatrix& matrix, int range, const int strides[3],
                    bool viaPicture, const std::string& label);

    // Judges a placement, saves it for the contact sheet (and the expected, observed and
    // difference images when it is not a pass) and adds it to verdict.
    void judgeAndRecord(Verdict& verdict, const QImage& shot, const RectF& expected, QRgb colour,
                        const std::string& label);
    // The same for a colour sheet, shown over `where` (null: at its own size).
    void judgeAndRecord(Verdict& verdict, const QImage& shot, const PatchSheet& sheet,
                        const std::vector<QRgb>& expected, const std::string& label,
                        const RectF* where = nullptr);
    // Saves the expected and observed screens and their difference.
    void saveComparison(const std::string& label, const QImage& expected, const QImage& shot);

    // Ends the check as failed when a picture of colour did not arrive (what: "the window",
    // ...): what follows builds on it.
    void expectArrived(Verdict& verdict, const Seen& seen, QRgb colour, const std::string& what);

    int quantisation() const { return onWayland() ? 0 : x.quantisation(); }
    ColourLimits colourLimits() const { return ColourLimits::forScreen(quantisation()); }
    // The display's refresh period as the server or compositor gives it (0 when unknown).
    uint32_t refreshPeriodUs(HostId host);
    // The timed path the display offers (X Present or Wayland presentation feedback), when the
    // environment does not turn it off.
    bool offersTimedPath() const;

private:
    void markOutput(olm_vout_t* vout);
    QImage tryCapture(HostId host);
    std::unique_ptr<WaylandScreen> wayland_;
    int nextLeft_ = 0;
    std::map<olm_vout_t*, HostId> hostOf_;
    std::map<HostId, QImage> marked_;
    bool native_ = false;
};

// Colours of flat pictures, alternated so that each new picture is told from the one before.
inline constexpr QRgb kAmber = 0xffe6b43c;
inline constexpr QRgb kSky = 0xff3cc8e6;

// A flat picture of one colour, BT.601 limited range.
YuvPicture flatPicture(int width, int height, QRgb colour, int strideY = 0);
// CLOCK_MONOTONIC in microseconds, the clock of the library's presentation records.
uint64_t monotonicMicroseconds();
// The number of open descriptors and threads of this process.
int openDescriptors();
int runningThreads();
