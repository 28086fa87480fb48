#include "output.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <new>
#include <system_error>

namespace {

// How long destroy lets the render thread finish on its own before it cuts the window system's
// connection under it.
constexpr auto kRenderStopGrace = std::chrono::milliseconds(500);

} // namespace

olm_vout::olm_vout(const olm::BackendOps& backend, int poolDepth, int wakeFd)
    : backend_(backend), pool_(poolDepth), wakeFd_(wakeFd) {}

std::unique_ptr<olm_vout> olm_vout::open(const olm::BackendOps& backend, uint32_t window,
                                         int poolDepth, std::string* error) {
    const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        *error = "cannot create an eventfd";
        return nullptr;
    }
    std::unique_ptr<olm_vout> output;
    try {
        output.reset(new olm_vout(backend, poolDepth, wakeFd));
    } catch (const std::bad_alloc&) {
        close(wakeFd);
        *error = "out of memory";
        return nullptr;
    }
    // From here on the output owns the descriptor, and its destructor closes what is open.
    try {
        olm::BackendContext context;
        context.window = window;
        context.wakeFd = wakeFd;
        context.quit = &output->quit_;
        context.timing = &output->timing_;
        output->state_ = backend.open(context, error);
        if (!output->state_)
            return nullptr;
        output->renderThread_ = std::thread(&olm_vout::renderLoop, output.get());
    } catch (const std::bad_alloc&) {
        *error = "out of memory";
        return nullptr;
    } catch (const std::system_error& e) {
        *error = std::string("cannot start the render thread: ") + e.what();
        return nullptr;
    }
    return output;
}

void olm_vout::shutDown() {
    if (renderThread_.joinable()) {
        quit_.store(true, std::memory_order_release);
        wake();
        const auto end = std::chrono::steady_clock::now() + kRenderStopGrace;
        while (!renderEnded_.load(std::memory_order_acquire) &&
               std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        // A window system that does not answer keeps the thread blocked: cut it loose.
        if (!renderEnded_.load(std::memory_order_acquire))
            backend_.interrupt(state_);
        renderThread_.join();
    }
    if (state_) {
        quit_.store(true, std::memory_order_release);
        backend_.close(state_);
        state_ = nullptr;
    }
}

olm_vout::~olm_vout() {
    shutDown();
    close(wakeFd_);
}

void olm_vout::wake() {
    const uint64_t one = 1;
    // EAGAIN means the counter is already non-zero: the thread will wake anyway.
    while (write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

int olm_vout::put(const olm::PictureSource& source) {
    bool dropped = false;
    olm::Picture* picture = pool_.acquire(&dropped);
    if (dropped)
        dropped_.fetch_add(1, std::memory_order_relaxed);
    if (!picture)
        return OLM_VOUT_E_BUSY;
    if (source.release.function) {
        picture->borrow(source);
    } else {
        const uint32_t target = targetSize_.load(std::memory_order_relaxed);
        const int targetWidth = int(target >> 16), targetHeight = int(target & 0xffff);
        const bool withHalf = target != 0 && (source.width + 1) / 2 >= targetWidth &&
                              (source.height + 1) / 2 >= targetHeight;
        if (!picture->copyFrom(source, withHalf)) {
            pool_.release(picture);
            return OLM_VOUT_E_NO_MEMORY;
        }
    }
    picture->putMicros = olm::monotonicMicros();
    put_.fetch_add(1, std::memory_order_relaxed);
    if (pool_.publish(picture))
        dropped_.fetch_add(1, std::memory_order_relaxed);
    // The pool's lock orders this read after the render thread's store before its last look.
    if (wantsPicture_.load(std::memory_order_acquire))
        wake();
    return OLM_VOUT_OK;
}

void olm_vout::setDisplayMode(int32_t mode) {
    mode_.store(mode, std::memory_order_relaxed);
    redrawRequested_.store(true, std::memory_order_release);
    wake();
}

olm_vout_stats olm_vout::stats() const {
    return {put_.load(std::memory_order_relaxed), timing_.presented(),
            dropped_.load(std::memory_order_relaxed) + timing_.lostCount()};
}

// One look at the window and the pool: draws what there is to draw when the backend can take it.
void olm_vout::renderPass(bool* redraw, bool* wasHidden, bool* gone) {
    const olm::WindowEvents events = backend_.takeEvents(state_);
    *gone = *gone || events.gone;
    *redraw = *redraw || events.resized || events.exposed;
    if (redrawRequested_.exchange(false, std::memory_order_acquire))
        *redraw = true;
    if (*wasHidden && !events.hidden)
        *redraw = true; // visible again: show the last picture at once
    *wasHidden = events.hidden;

    if (*gone || events.hidden) {
        // Nothing to see: newer pictures are let go unseen, the last one kept for later.
        if (pool_.takeNewest())
            dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (!backend_.canPresent(state_))
        return; // waiting for a refresh or a free buffer; the pool keeps the newest picture
    int64_t putMicros = -1;
    if (const olm::Picture* fresh = pool_.takeNewest()) {
        putMicros = fresh->putMicros;
        *redraw = true;
    }
    if (!*redraw)
        return;
    *redraw = false;
    const olm::Picture* picture = pool_.shown();
    const olm::Rect rect =
        picture ? olm::placePicture(mode_.load(std::memory_order_relaxed), picture->width,
                                    picture->height, events.width, events.height,
                                    picture->format.sarNum, picture->format.sarDen)
                : olm::Rect{};
    olm::PresentResult result = olm::PresentResult::NotDrawn;
    try {
        result = backend_.present(state_, picture, rect, putMicros);
    } catch (const std::bad_alloc&) {
        // Out of memory while scaling: this picture is skipped, the output lives on.
    }
    if (result == olm::PresentResult::NotDrawn && putMicros >= 0)
        dropped_.fetch_add(1, std::memory_order_relaxed);
    if (!rect.empty())
        targetSize_.store(uint32_t(rect.width) << 16 | uint32_t(rect.height),
                          std::memory_order_relaxed);
}

void olm_vout::renderLoop() {
    // A put wakes this thread while the caller (a decoder, usually) still has work to do. As a
    // batch thread it does not preempt that caller on its core at every wake-up; it waits for a
    // free core instead, so the caller's put returns as soon as the copy is done.
    const sched_param batch{};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch);
    bool gone = false, wasHidden = false;
    bool redraw = true; // start by clearing the window to black
    while (!quit_.load(std::memory_order_acquire)) {
        renderPass(&redraw, &wasHidden, &gone);
        if (!gone && backend_.hasPending(state_))
            continue;
        // Gone or hidden, a new picture is let go at once; otherwise only when it can be drawn.
        const bool ready = gone || wasHidden || backend_.canPresent(state_);
        wantsPicture_.store(ready, std::memory_order_release);
        if (ready && pool_.hasReady())
            continue; // published before the store above was seen
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {backend_.eventFd(state_), POLLIN, 0}};
        // Sleep until a wake-up or until the window system has something to say.
        if (poll(fds, gone ? 1 : 2, -1) > 0 && (fds[0].revents & POLLIN)) {
            uint64_t count;
            [[maybe_unused]] ssize_t n = read(wakeFd_, &count, sizeof count);
        }
    }
    renderEnded_.store(true, std::memory_order_release);
}
