// The X11 backend: the output's window (x11_window.h) with one of two ways of getting pictures
// on screen, chosen when the output is opened: X Present at the display's refresh where the
// server offers it (x11_present_path.h), else straight into the window (x11_image_path.h).

#include "backend.h"
#include "picture_scaler.h"
#include "x11_image_path.h"
#include "x11_present_path.h"
#include "x11_window.h"

#include <sys/socket.h>

#include <memory>

namespace olm {

namespace {

// How long close gives a server to act on the last requests.
constexpr int kCloseBoundMs = 500;

struct X11State : BackendState {
    x11::Window window;
    x11::ImagePath image;
    x11::PresentPath presentPath;
    bool usePresent = false;
    PictureScaler scaler;

    void dispatch(const xcb_generic_event_t* event) {
        if (usePresent ? presentPath.dispatch(event) : image.dispatch(event))
            return;
        window.dispatch(event);
    }
};

X11State* stateOf(BackendState* s) {
    return static_cast<X11State*>(s);
}

BackendState* x11Open(const BackendContext& context, std::string* error) {
    auto state = std::make_unique<X11State>();
    if (!state->window.open(context, error))
        return nullptr;
    state->usePresent = state->presentPath.open(state->window, *context.timing);
    if (!state->usePresent)
        state->image.open(state->window, *context.timing);
    xcb_flush(state->window.conn);
    return state.release();
}

int x11EventFd(BackendState* s) {
    return xcb_get_file_descriptor(stateOf(s)->window.conn);
}

WindowEvents x11TakeEvents(BackendState* s) {
    X11State& state = *stateOf(s);
    x11::Window& w = state.window;
    while (auto event = x11::owned(xcb_poll_for_event(w.conn)))
        state.dispatch(event.get());
    if (!state.usePresent)
        state.image.checkDone();
    if (xcb_connection_has_error(w.conn) && !w.gone) {
        w.gone = true;
        w.pending.gone = true;
    }
    WindowEvents events = w.pending;
    events.width = w.width;
    events.height = w.height;
    events.hidden = w.hidden();
    w.pending = WindowEvents{};
    return events;
}

bool x11HasPending(BackendState* s) {
    X11State& state = *stateOf(s);
    // Replies and waits for completion can leave events in xcb's queue, where a poll on the
    // descriptor would not see them.
    while (auto event = x11::owned(xcb_poll_for_queued_event(state.window.conn)))
        state.dispatch(event.get());
    const WindowEvents& p = state.window.pending;
    return p.resized || p.exposed || p.gone;
}

bool x11CanPresent(BackendState* s) {
    X11State& state = *stateOf(s);
    return !state.usePresent || state.presentPath.canPresent();
}

PresentResult x11Present(BackendState* s, const Picture* picture, const Rect& rect,
                         int64_t putMicros) {
    X11State& state = *stateOf(s);
    if (state.window.gone || state.window.width <= 0 || state.window.height <= 0)
        return picture ? PresentResult::NotDrawn : PresentResult::Drawn;
    return state.usePresent ? state.presentPath.present(state.scaler, picture, rect, putMicros)
                            : state.image.present(state.scaler, picture, rect, putMicros);
}

void x11Interrupt(BackendState* s) {
    // Cutting the socket makes every xcb call, blocked or not, fail at once.
    shutdown(xcb_get_file_descriptor(stateOf(s)->window.conn), SHUT_RDWR);
}

void x11Close(BackendState* s) {
    std::unique_ptr<X11State> state(stateOf(s));
    if (state->usePresent)
        state->presentPath.close();
    else
        state->image.close();
    state->window.close(kCloseBoundMs);
}

} // namespace

const BackendOps x11Backend = {
    .name = "x11",
    .open = x11Open,
    .eventFd = x11EventFd,
    .takeEvents = x11TakeEvents,
    .hasPending = x11HasPending,
    .canPresent = x11CanPresent,
    .present = x11Present,
    .interrupt = x11Interrupt,
    .close = x11Close,
};

} // namespace olm
