// The X11 backend: the output's window (x11_window.h) and one of two ways of getting pictures on
// screen, chosen when the output is opened: X Present at the display's refresh where the server
// offers it (x11_present_path.h), else straight into the window (x11_image_path.h). All that
// arrives on the connection is taken in by pump, in one place, for both.

#include "backend.h"
#include "picture_scaler.h"
#include "x11_image_path.h"
#include "x11_present_path.h"
#include "x11_transfer.h"
#include "x11_window.h"

#include <sys/socket.h>

#include <memory>

namespace olm {

namespace {

// How long closing gives a server to act on the last requests.
constexpr int kCloseBoundMs = 500;

class X11Backend final : public Backend {
public:
    X11Backend() = default;
    ~X11Backend() override {
        if (path_)
            path_->close();
        window_.close(kCloseBoundMs);
    }

    bool open(const BackendContext& context, std::string* error) {
        if (!window_.open(context.window, error))
            return false;
        const x11::ServerCapabilities caps = x11::ServerCapabilities::query(window_.conn);
        if (caps.present) {
            auto present = std::make_unique<x11::PresentPath>(window_, caps, *context.timing);
            if (present->open())
                path_ = std::move(present);
        }
        if (!path_)
            path_ = std::make_unique<x11::ImagePath>(window_, caps, *context.timing);
        xcb_flush(window_.conn);
        return true;
    }

    int eventFd() const override { return xcb_get_file_descriptor(window_.conn); }

    WindowEvents pump() override {
        xcb_connection_t* conn = window_.conn;
        // Waiting for answers reads the connection too, and may leave events in xcb's queue where
        // a poll on the descriptor would not see them: go round until a pass finds nothing.
        for (bool progressed = true; progressed;) {
            progressed = false;
            while (auto event = x11::owned(xcb_poll_for_event(conn))) {
                dispatch(event.get());
                progressed = true;
            }
            if (window_.takeReplies())
                progressed = true;
            if (path_->takeReplies())
                progressed = true;
            if (auto event = x11::owned(xcb_poll_for_queued_event(conn))) {
                dispatch(event.get());
                progressed = true;
            }
        }
        path_->expire(monotonicMicros());
        // What answering events asked of the server (the child's new size, the walk up the tree)
        // goes out now: drawing, which flushes too, may not come for a long time (a covered
        // window draws nothing).
        xcb_flush(conn);
        if (xcb_connection_has_error(conn) && !window_.gone) {
            window_.gone = true;
            window_.pending.gone = true;
        }
        WindowEvents events = window_.pending;
        events.width = window_.width;
        events.height = window_.height;
        events.hidden = window_.hidden();
        window_.pending = WindowEvents{};
        return events;
    }

    bool canPresent() const override { return path_->canPresent(); }

    PresentResult present(const Picture* picture, const Rect& rect, int64_t putMicros) override {
        if (window_.gone || window_.width <= 0 || window_.height <= 0)
            return picture ? PresentResult::NotDrawn : PresentResult::Drawn;
        return path_->present(scaler_, picture, rect, putMicros);
    }

    int64_t nextDeadline() const override { return path_->nextDeadline(); }
    bool presentsAtRefresh() const override { return path_->presentsAtRefresh(); }

    void interrupt() override {
        // Cutting the socket makes every xcb call, blocked or not, fail at once.
        shutdown(xcb_get_file_descriptor(window_.conn), SHUT_RDWR);
    }

private:
    void dispatch(const xcb_generic_event_t* event) {
        if (!path_->dispatch(event))
            window_.dispatch(event);
    }

    x11::Window window_;
    PictureScaler scaler_;
    std::unique_ptr<x11::Path> path_;
};

} // namespace

std::unique_ptr<Backend> openX11Backend(const BackendContext& context, std::string* error) {
    auto backend = std::make_unique<X11Backend>();
    if (!backend->open(context, error))
        return nullptr;
    return backend;
}

} // namespace olm
