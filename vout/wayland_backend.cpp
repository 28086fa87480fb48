// The Wayland backend: the output's share of the caller's connection (wayland_display.h), its
// surfaces over the caller's (wayland_surfaces.h) and its buffers (wayland_buffers.h). Sizes are
// decided in the buffer's pixels, the logical size times the scale the compositor wants for the
// surface, so that a picture is as sharp on a HiDPI output as it can be: the window size pump
// reports, and so the placement and put's reduction, are physical. A picture is converted in one
// pass straight into a free buffer at the size it is shown, or at its own size where that is
// smaller, and the compositor enlarges it into place (wp_viewporter); without a viewporter the
// buffer has exactly the size shown. One picture at a time waits for the compositor: the next is
// drawn once the frame callback of the last says the compositor is ready for it. Presentation
// feedback says when each picture reached the screen; without it, the frame callback stands in.

#include "backend.h"
#include "picture_scaler.h"
#include "wayland_buffers.h"
#include "wayland_display.h"
#include "wayland_surfaces.h"

#include "presentation-time-client-protocol.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <utility>

namespace olm {

namespace {

// A frame callback that has not come for this long means the compositor does not show the
// output (a minimised window, another workspace): nothing is drawn until it comes.
constexpr int64_t kHiddenAfterUs = 1'000'000;
// Presentation feedback objects kept for answers that may still come.
constexpr size_t kFeedbacks = 16;

// The request that asks for feedback hides the type's name in C++.
using FeedbackProxy = struct ::wp_presentation_feedback;

int64_t clockMicros(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return int64_t(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

class WaylandBackend final : public Backend {
public:
    explicit WaylandBackend(PresentationTiming& timing) : timing_(timing) {}
    ~WaylandBackend() override {
        if (frame_)
            wl_callback_destroy(frame_);
        for (Feedback& f : feedbacks_)
            if (f.proxy)
                wp_presentation_feedback_destroy(f.proxy);
        // Members go in reverse order: surfaces, buffers, then the output's queue.
        surfaces_.reset();
        buffers_.reset();
    }

    bool open(const BackendContext& context, std::string* error) {
        if (!queue_.open(context.wayland.display, error))
            return false;
        buffers_ = std::make_unique<wayland::Buffers>(queue_.shm());
        surfaces_ = std::make_unique<wayland::Surfaces>();
        if (!surfaces_->open(queue_, *buffers_, context.wayland.surface, context.wayland.area)) {
            *error = "cannot make the output's surfaces";
            return false;
        }
        area_ = context.wayland.area;
        timing_.setPath(queue_.presentation() ? OLM_VOUT_PATH_WAYLAND_PRESENTATION
                                              : OLM_VOUT_PATH_WAYLAND_FRAME);
        queue_.flush();
        if (queue_.failed()) {
            *error = "the Wayland compositor refused the output's surfaces";
            return false;
        }
        return true;
    }

    int eventFd() const override { return queue_.fd(); }

    WindowEvents pump() override {
        queue_.dispatch();
        const int64_t now = monotonicMicros();
        inFlight_.expire(now, [this](const InFlight::Record& r) {
            if (r.putMicros >= 0)
                timing_.lost();
        });
        if (frame_ && now - frameAskedUs_ >= kHiddenAfterUs)
            hidden_ = true;
        queue_.flush();
        WindowEvents events;
        // A new scale (the window moved to another output, say) redraws at the new size.
        const bool rescaled = surfaces_->scaleChanged();
        const int scale = sizingScale120();
        events.width = toPhysical(area_.width, scale);
        events.height = toPhysical(area_.height, scale);
        events.resized = std::exchange(areaMoved_, false) || rescaled;
        events.hidden = hidden_ || area_.empty();
        events.gone = queue_.failed();
        return events;
    }

    bool canPresent() const override { return !frame_ && buffers_->anyFree() && !inFlight_.full(); }

    PresentResult present(const Picture* picture, const Rect& rect, int64_t putMicros) override {
        if (!picture || rect.empty()) {
            surfaces_->clear();
            queue_.flush();
            return picture ? PresentResult::NotDrawn : PresentResult::Drawn;
        }
        // rect is in the buffer's pixels. Where the compositor scales, a picture is converted
        // to rect's size where it is larger and at its own size where it is smaller, side by side:
        // the compositor only ever enlarges. Without a viewporter the buffer has rect's size in
        // whole multiples of the integer scale, the logical size times it.
        const int scale = sizingScale120();
        const Rect logical = toLogical(rect, scale);
        int width = rect.width, height = rect.height;
        if (surfaces_->scalesItself()) {
            width = logical.width * scale / 120;
            height = logical.height * scale / 120;
        } else {
            const PlaneSet& own = picture->onlyReduced() ? picture->reduced : *picture;
            const bool swapped = picture->format.sidesSwapped();
            width = std::min(width, swapped ? own.height : own.width);
            height = std::min(height, swapped ? own.width : own.height);
        }
        wayland::Buffer* buffer =
            buffers_->acquire(width, height, PictureScaler::rowsNeeded(height));
        if (!buffer ||
            !scaler_.scale(*picture, AV_PIX_FMT_BGR0, width, height, buffer->data, buffer->stride))
            return PresentResult::NotDrawn;

        wl_surface* surface = surfaces_->picture();
        frame_ = wl_surface_frame(surface);
        wl_callback_add_listener(frame_, &kFrameListener, this);
        frameAskedUs_ = monotonicMicros();
        InFlight::Record record;
        record.key = ++commits_;
        record.putMicros = putMicros;
        record.sentUs = frameAskedUs_;
        if (wp_presentation* presentation = queue_.presentation())
            watch(wp_presentation_feedback(presentation, surface), record.key);
        surfaces_->show(buffer->buffer, logical, scale / 120,
                        queue_.display().compositorVersion() >= 4);
        buffer->busy = true;
        inFlight_.add(record);
        queue_.flush();
        return PresentResult::Drawn;
    }

    int64_t nextDeadline() const override {
        int64_t deadline = inFlight_.nextDeadline();
        if (frame_ && !hidden_)
            deadline = std::min(deadline, frameAskedUs_ + kHiddenAfterUs);
        return deadline;
    }

    bool presentsAtRefresh() const override { return true; }
    // Nothing here waits for the compositor, and the connection is the caller's to keep.
    void interrupt() override {}
    bool prepareWait() override { return queue_.prepareRead(); }
    void finishWait(bool readable) override { queue_.finishRead(readable); }

    void moveArea(const Rect& area, const PlaceInWindow& place) override {
        if (area == area_)
            return;
        areaMoved_ = areaMoved_ || area.width != area_.width || area.height != area_.height;
        area_ = area;
        const int scale = sizingScale120();
        const Rect shown = place(toPhysical(area.width, scale), toPhysical(area.height, scale));
        const Rect logical = toLogical(shown, scale);
        surfaces_->setLayout(area, shown.empty() ? nullptr : &logical);
        queue_.flush();
    }

    // From the listeners, on the render thread.
    void frameDone() {
        wl_callback_destroy(frame_);
        frame_ = nullptr;
        hidden_ = false;
        if (!queue_.presentation()) {
            // No feedback: the frame callback after a picture is the nearest word of it.
            if (const InFlight::Record* last = inFlight_.oldest()) {
                if (auto r = inFlight_.take(last->key); r && r->putMicros >= 0)
                    timing_.onScreen(r->putMicros, monotonicMicros());
            }
        }
    }
    void presented(FeedbackProxy* proxy, uint64_t seconds, uint32_t nanoseconds, uint32_t refreshNs,
                   uint64_t sequence) {
        const uint64_t key = forget(proxy);
        // On the library's clock: the compositor's may be another (CLOCK_MONOTONIC_RAW, say).
        const clockid_t clock = queue_.display().presentationClock();
        const int64_t offset =
            clock == CLOCK_MONOTONIC ? 0 : monotonicMicros() - clockMicros(clock);
        const int64_t screenUs = int64_t(seconds) * 1'000'000 + nanoseconds / 1000 + offset;
        if (refreshNs)
            timing_.periodSeen(refreshNs / 1000);
        else if (sequence)
            timing_.refreshSeen(sequence, screenUs);
        const auto record = inFlight_.take(key);
        if (!record || record->putMicros < 0)
            return; // given up already, or a redraw
        if (const int64_t period = refreshNs / 1000; period > 0)
            timing_.missed(uint64_t(std::max<int64_t>(0, (screenUs - record->putMicros) / period)));
        timing_.onScreen(record->putMicros, screenUs, sequence);
    }
    void discarded(FeedbackProxy* proxy) {
        const auto record = inFlight_.take(forget(proxy));
        if (record && record->putMicros >= 0)
            timing_.lost(); // replaced before the compositor showed it
    }

private:
    struct Feedback {
        FeedbackProxy* proxy = nullptr;
        uint64_t key = 0;
    };
    static const wl_callback_listener kFrameListener;
    static const wp_presentation_feedback_listener kFeedbackListener;

    // The scale sizes are decided at, in 120ths: the compositor's wish, or without a viewporter the
    // integer buffer scale.
    int sizingScale120() const {
        return surfaces_->scalesItself() ? 120 * surfaces_->bufferScale() : surfaces_->scale120();
    }

    void watch(FeedbackProxy* proxy, uint64_t key) {
        Feedback* slot = &feedbacks_[0];
        for (Feedback& f : feedbacks_) {
            if (!f.proxy) {
                slot = &f;
                break;
            }
            if (f.key < slot->key)
                slot = &f; // all taken: the oldest, long given up, goes
        }
        if (slot->proxy)
            wp_presentation_feedback_destroy(slot->proxy);
        *slot = {proxy, key};
        wp_presentation_feedback_add_listener(proxy, &kFeedbackListener, this);
    }
    uint64_t forget(FeedbackProxy* proxy) {
        wp_presentation_feedback_destroy(proxy);
        for (Feedback& f : feedbacks_) {
            if (f.proxy == proxy) {
                f.proxy = nullptr;
                return f.key;
            }
        }
        return 0;
    }

    PresentationTiming& timing_;
    wayland::Queue queue_;
    std::unique_ptr<wayland::Buffers> buffers_;
    std::unique_ptr<wayland::Surfaces> surfaces_;
    PictureScaler scaler_;
    InFlight inFlight_; // pictures committed, by commit number, until their feedback
    std::array<Feedback, kFeedbacks> feedbacks_{};
    uint64_t commits_ = 0;
    Rect area_;
    bool areaMoved_ = false;
    wl_callback* frame_ = nullptr;
    int64_t frameAskedUs_ = 0;
    bool hidden_ = false;
};

const wl_callback_listener WaylandBackend::kFrameListener = {
    [](void* data, wl_callback*, uint32_t) { static_cast<WaylandBackend*>(data)->frameDone(); }};

const wp_presentation_feedback_listener WaylandBackend::kFeedbackListener = {
    [](void*, FeedbackProxy*, wl_output*) {},
    [](void* data, FeedbackProxy* proxy, uint32_t secondsHigh, uint32_t secondsLow,
       uint32_t nanoseconds, uint32_t refresh, uint32_t sequenceHigh, uint32_t sequenceLow,
       uint32_t) {
        static_cast<WaylandBackend*>(data)->presented(
            proxy, uint64_t(secondsHigh) << 32 | secondsLow, nanoseconds, refresh,
            uint64_t(sequenceHigh) << 32 | sequenceLow);
    },
    [](void* data, FeedbackProxy* proxy) { static_cast<WaylandBackend*>(data)->discarded(proxy); }};

} // namespace

std::unique_ptr<Backend> openWaylandBackend(const BackendContext& context, std::string* error) {
    auto backend = std::make_unique<WaylandBackend>(*context.timing);
    if (!backend->open(context, error))
        return nullptr;
    return backend;
}

} // namespace olm
