#pragma once

// Pictures drawn straight into the output's window as soon as the render thread has them: with
// MIT-SHM PutImage from two shared-memory segments, or with plain PutImage in strips where shared
// memory is missing. A picture is on screen once the server has finished its request. Also the
// shared-memory segments that the Present path builds its pixmaps on.

#include "picture_scaler.h"
#include "x11_window.h"

#include <xcb/shm.h>

#include <cstdint>
#include <vector>

namespace olm::x11 {

struct Segment {
    xcb_shm_seg_t seg = 0;
    int shmid = -1;
    uint8_t* addr = nullptr;
    size_t size = 0;
};

// A segment of size bytes, attached on both sides. False (segment empty) when it cannot be.
bool attachSegment(xcb_connection_t* conn, Segment& segment, size_t size);
// Detaches and forgets the segment; the caller makes sure the server no longer reads it.
void detachSegment(xcb_connection_t* conn, Segment& segment);
// True when the server offers MIT-SHM (and OLM_VOUT_NO_SHM is not set); *pixmaps tells whether
// it also makes pixmaps on segments, *completionEvent the number of its completion event.
bool serverHasShm(xcb_connection_t* conn, bool* pixmaps, uint8_t* completionEvent);

// Converts the picture into staging and sends it to rect of the drawable with PutImage in strips,
// for servers without shared memory. Padded columns land right of rect, where the caller's border
// fill goes next. False when the conversion fails.
bool putImageInStrips(Window& window, PictureScaler& scaler, const Picture& picture,
                      const Rect& rect, xcb_drawable_t drawable, std::vector<uint8_t>& staging);

class ImagePath {
public:
    void open(Window& window, PresentationTiming& timing);
    // Takes in completion events and errors of its own requests; false for other events.
    bool dispatch(const xcb_generic_event_t* event);
    // Looks for the answer that says a strip-drawn picture is on screen.
    void checkDone();
    PresentResult present(PictureScaler& scaler, const Picture* picture, const Rect& rect,
                          int64_t putMicros);
    // Detaches the segments.
    void close();

private:
    struct Slot {
        Segment segment;
        bool busy = false;      // the server may still be reading it
        uint64_t sequence = 0;  // of the put that made it busy
        int64_t putMicros = -1; // of the new picture it carries; -1 for a redraw
    };
    bool waitForSlot(Slot& slot, int timeoutMs);
    void finish(Slot& slot, bool shown);
    void drawPicture(PictureScaler& scaler, const Picture& picture, const Rect& rect,
                     int64_t putMicros, bool* drawn);

    Window* window_ = nullptr;
    PresentationTiming* timing_ = nullptr;
    bool useShm_ = false;
    uint8_t completionEvent_ = 0;
    Slot slots_[2];
    int nextSlot_ = 0;
    std::vector<uint8_t> stripBuffer_; // conversion target without shared memory
    // A strip-drawn new picture waiting for the server's answer to a round trip.
    bool syncPending_ = false;
    unsigned int syncSequence_ = 0;
    int64_t syncPutMicros_ = -1;
};

} // namespace olm::x11
