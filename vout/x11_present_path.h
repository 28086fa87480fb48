#pragma once

// Pictures presented at the display's refresh with the X Present extension. Each picture is drawn,
// black borders included, into one of a few window-sized pixmaps of the output (on shared memory
// where the server allows, else filled with PutImage) and presented with PresentPixmap for the next
// refresh. One presentation is in flight at a time, so at most one picture reaches each refresh;
// a pixmap is drawn into again only after the server said it is idle. Completion events say when
// each picture reached the screen, at which refresh, and whether it was skipped.

#include "picture_scaler.h"
#include "x11_image_path.h"
#include "x11_window.h"

#include <cstdint>
#include <vector>

namespace olm::x11 {

class PresentPath {
public:
    // Sets Present up on the window. False when the server lacks Present 1.0 (or
    // OLM_VOUT_NO_PRESENT is set): the caller then draws with the image path.
    bool open(Window& window, PresentationTiming& timing);
    // Takes in Present events and errors of its own requests; false for other events.
    bool dispatch(const xcb_generic_event_t* event);
    // True when no presentation is in flight and a pixmap is idle. A presentation that the server
    // has not completed within a second is given up (counted as lost).
    bool canPresent();
    PresentResult present(PictureScaler& scaler, const Picture* picture, const Rect& rect,
                          int64_t putMicros);
    void close();

private:
    struct Buffer {
        xcb_pixmap_t pixmap = 0;
        Segment segment; // the pixmap's memory, with shared-memory pixmaps
        int width = 0, height = 0;
        bool idle = true;
    };
    bool prepare(Buffer& buffer);
    void release(Buffer& buffer);
    bool draw(PictureScaler& scaler, Buffer& buffer, const Picture& picture, const Rect& rect);
    void completed(uint32_t serial, uint8_t mode, uint64_t msc, uint64_t ust);
    void abandonInFlight();

    Window* window_ = nullptr;
    PresentationTiming* timing_ = nullptr;
    bool shmPixmaps_ = false;
    uint8_t opcode_ = 0;
    uint32_t eventId_ = 0;
    Buffer buffers_[3];
    std::vector<uint8_t> staging_; // conversion target without shared-memory pixmaps

    uint32_t serial_ = 0;
    bool inFlight_ = false;
    uint32_t inFlightSerial_ = 0;
    unsigned int inFlightSequence_ = 0; // of the PresentPixmap request, to match its error
    int64_t inFlightSinceUs_ = 0;
    int64_t inFlightPutMicros_ = -1;
    uint64_t expectedMsc_ = 0; // the refresh the presentation in flight is due at; 0: the next
    uint64_t lastMsc_ = 0;
    int64_t lastCompletedUs_ = 0; // when the last completion arrived, on our clock; 0: none yet
};

} // namespace olm::x11
