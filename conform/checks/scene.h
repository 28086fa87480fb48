#pragma once

// What the checks share inside their process: an X connection, host windows proven to read back,
// outputs created as the bench creates them, puts of reference pictures, and waiting for the
// screen to show what a check expects. Every wait polls a condition against a deadline scaled
// by --timeout-factor, and stops early once the screen has changed and settled on something
// else: a wrong picture is judged as soon as it stays, not when the deadline runs out.

#include "judge/picture_judges.h"
#include "judge/reference.h"
#include "run/check.h"
#include "screen/x_screen.h"

#include <functional>
#include <map>

// How long a check waits, unscaled, for the screen to show what it expects. Generous: the
// project's own library shows a picture within a refresh or two.
inline constexpr int kWaitMs = 2000;

class Scene {
public:
    explicit Scene(CheckContext& context);

    CheckContext& ctx;
    const VoutApi& api;
    XConnection x;

    // A host window, placed right of the previous ones so that none overlaps another. In a
    // pixel check, the check ends unresolved when a plain X pattern drawn into it does not read
    // back.
    xcb_window_t host(int width, int height);
    // An output created with the bench's record: the window id, the value 3, zeros after.
    olm_vout_t* create(xcb_window_t host, uint32_t poolDepth = 3);
    // create, ending the check as failed when it returns null.
    olm_vout_t* requireOutput(xcb_window_t host, uint32_t poolDepth = 3);
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
    void resize(xcb_window_t host, int width, int height);
    void setHostMapped(xcb_window_t host, bool mapped);
    // A window of the tester's over part of the host (host coordinates), shown at once.
    xcb_window_t cover(xcb_window_t host, int left, int top, int width, int height);
    // Takes a cover away again: the part it hid is exposed.
    void uncover(xcb_window_t host, xcb_window_t cover);
    // Remembers how the host looks now: the next wait on it counts a change from this.
    void mark(xcb_window_t host);

    // The host as the screen shows it; ends the check unresolved when it cannot be read.
    QImage capture(xcb_window_t host);

    struct Seen {
        QImage image;
        bool arrived = false;
    };
    // Polls the host until arrived() holds on a screen that then stays unchanged for a short
    // quiet time. Gives up when the time is up, or earlier when the screen changed from the one
    // marked last and then stayed on something else for a settling time (arrived false, image
    // the last screen seen).
    Seen waitFor(xcb_window_t host, const std::function<bool(const QImage&)>& arrived,
                 int timeoutMs = kWaitMs);

    // Waits until the colour sample() takes from the screen is neither black (an output with no
    // picture yet) nor the host's background: the first picture has been drawn, right or wrong.
    Seen waitForDrawn(xcb_window_t host, const std::function<QRgb(const QImage&)>& sample);
    // Waits until the host shows colour placed at want (see judgePlacement).
    Seen waitForPlacement(xcb_window_t host, const RectF& want, QRgb colour);

    // Puts a flat picture of one colour (BT.601, limited range) and waits until the window's
    // centre shows it: a new picture has arrived.
    Seen showFlat(olm_vout_t* vout, xcb_window_t host, int width, int height, QRgb colour);

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

    ColourLimits colourLimits() const { return ColourLimits::forScreen(x.quantisation()); }

private:
    void markOutput(olm_vout_t* vout);
    int nextLeft_ = 0;
    std::map<olm_vout_t*, xcb_window_t> hostOf_;
    std::map<xcb_window_t, QImage> marked_;
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
