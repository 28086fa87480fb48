#pragma once

// Pictures drawn straight into the output's window as soon as the render thread has them: with
// MIT-SHM PutImage from two shared-memory segments, or with plain PutImage in strips where shared
// memory is missing. A picture is on screen once the server has finished its request: the
// segment's completion event, or the answer to a round trip sent after the strips.

#include "x11_path.h"
#include "x11_transfer.h"

#include <cstdint>
#include <vector>

namespace olm::x11 {

class ImagePath final : public Path {
public:
    ImagePath(Window& window, const ServerCapabilities& caps, PresentationTiming& timing);
    bool dispatch(const xcb_generic_event_t* event) override;
    bool takeReplies() override;
    void expire(int64_t nowUs) override;
    int64_t nextDeadline() const override;
    bool canPresent() const override;
    PresentResult present(PictureScaler& scaler, const Picture* picture, const Rect& rect,
                          int64_t putMicros) override;
    bool presentsAtRefresh() const override { return false; }
    void close() override;

private:
    static constexpr int kSegments = 2;
    // Strip-drawn pictures that may await the server's answer at once: more would only queue
    // pictures in the server that newer ones replace anyway.
    static constexpr size_t kRoundTrips = 2;

    bool drawWithShm(PictureScaler& scaler, const Picture& picture, const Rect& rect,
                     int64_t putMicros);
    bool drawInStrips(PictureScaler& scaler, const Picture& picture, const Rect& rect,
                      int64_t putMicros);
    void settle(const InFlight::Record& record, bool shown);

    Window& window_;
    PresentationTiming& timing_;
    bool useShm_;
    uint8_t completionEvent_;
    Segment segments_[kSegments];
    // Shared-memory puts until their completion: key segment << 32 | request, slot the segment.
    // A segment is written again only once its put completed, so the server never reads a
    // picture half overwritten.
    InFlight shmPuts_;
    InFlight roundTrips_; // strip-drawn new pictures, by the round trip's request
    std::vector<uint8_t> stripBuffer_;
};

} // namespace olm::x11
