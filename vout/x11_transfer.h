#pragma once

// How pixels travel to the X server, for both ways of getting pictures on screen: what the server
// offers (MIT-SHM, shared-memory pixmaps, Present), shared-memory segments, and PutImage in strips
// for servers without shared memory.

#include "picture_scaler.h"
#include "x11_window.h"

#include <xcb/shm.h>

#include <cstdint>
#include <vector>

namespace olm::x11 {

// What the server offers, asked once when the output opens. OLM_VOUT_NO_SHM and
// OLM_VOUT_NO_PRESENT hide shared memory and Present.
struct ServerCapabilities {
    bool shm = false;
    bool shmPixmaps = false;        // pixmaps on shared-memory segments
    uint8_t shmCompletionEvent = 0; // the number of MIT-SHM's completion event
    bool present = false;           // Present 1.0 or later
    uint8_t presentOpcode = 0;      // the extension's major opcode, in its generic events

    static ServerCapabilities query(xcb_connection_t* conn);
};

struct Segment {
    xcb_shm_seg_t seg = 0;
    uint8_t* addr = nullptr;
    size_t size = 0;
    uint32_t attachRequest = 0; // the server's error naming this request: it cannot attach
};

// A segment of size bytes, attached here and asked of the server without waiting for its answer:
// the server refuses with an error that names segment.attachRequest, and so does every request
// that uses the segment. False (segment empty) when it cannot be made here.
bool attachSegment(xcb_connection_t* conn, Segment& segment, size_t size);
// Forgets a segment the server refused to attach (it has nothing to detach).
void forgetSegment(Segment& segment);
// Detaches and forgets the segment. The server keeps its own mapping until it has processed the
// detach, which comes after every request that reads the segment, so this is safe at any time.
void detachSegment(xcb_connection_t* conn, Segment& segment);

// Converts the picture into staging and sends it to rect of the drawable with PutImage in strips.
// Padded columns land right of rect, where the caller's border fill goes next. False when the
// conversion fails.
bool putImageInStrips(Window& window, PictureScaler& scaler, const Picture& picture,
                      const Rect& rect, xcb_drawable_t drawable, std::vector<uint8_t>& staging);

} // namespace olm::x11
