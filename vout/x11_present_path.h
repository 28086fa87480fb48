#pragma once

// Pictures presented at the display's refresh with the X Present extension. A new picture is
// drawn at once, black borders included, into an idle pixmap of the output (on shared memory
// where the server allows, else filled with PutImage) and presented for the next refresh. A
// picture presented for a refresh that an earlier one still waits for replaces it: the server
// skips the earlier one (it counts as dropped) and lets its pixmap go, so at most one picture
// reaches each refresh and the newest wins. A pixmap is drawn into again only after the server
// said it is idle. Completion events say when each picture reached the screen, at which refresh.

#include "x11_path.h"
#include "x11_transfer.h"

#include <cstdint>
#include <vector>

namespace olm::x11 {

class PresentPath final : public Path {
public:
    PresentPath(Window& window, const ServerCapabilities& caps, PresentationTiming& timing);
    // Asks for the window's Present events. False when the server refuses: the caller then draws
    // with the image path.
    bool open();
    bool dispatch(const xcb_generic_event_t* event) override;
    void expire(int64_t nowUs) override;
    int64_t nextDeadline() const override;
    bool canPresent() const override;
    PresentResult present(PictureScaler& scaler, const Picture* picture, const Rect& rect,
                          int64_t putMicros) override;
    bool presentsAtRefresh() const override { return true; }
    void close() override;

private:
    static constexpr int kBuffers = 3; // on screen, waiting for its refresh, being drawn
    struct Buffer {
        xcb_pixmap_t pixmap = 0;
        uint32_t createRequest = 0; // the server's error naming it: the pixmap was not made
        Segment segment;            // the pixmap's memory, with shared-memory pixmaps
        int width = 0, height = 0;
        bool idle = true;
        uint32_t serial = 0; // of the presentation that holds it, while not idle
        int64_t busySinceUs = 0;
    };
    Buffer* idleBuffer();
    void prepare(Buffer& buffer);
    void release(Buffer& buffer);
    // The server refused a request that made or used buffers: true when it was one of ours.
    bool refused(uint32_t sequence);
    bool draw(PictureScaler& scaler, Buffer& buffer, const Picture& picture, const Rect& rect);
    void completed(uint32_t serial, uint8_t mode, uint64_t msc, uint64_t ust);
    // The refresh a picture put at putMicros is due at: the one after the refresh current then.
    // 0 while the refresh rate is not known yet.
    uint64_t dueRefresh(int64_t putMicros) const;

    Window& window_;
    PresentationTiming& timing_;
    bool shmPixmaps_;
    uint8_t opcode_;
    uint32_t eventId_ = 0;
    Buffer buffers_[kBuffers];
    std::vector<uint8_t> staging_; // conversion target without shared-memory pixmaps
    InFlight presentations_;       // key the serial, slot the buffer
    uint32_t serial_ = 0;
    uint64_t lastMsc_ = 0;
    int64_t lastUst_ = 0; // of the last completion, on the server's clock; 0: none yet
};

} // namespace olm::x11
