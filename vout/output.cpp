#include "output.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

olm_vout::olm_vout(const olm::BackendOps& backend, olm::BackendState* state, int poolDepth,
                   int wakeFd)
    : backend_(backend), state_(state), pool_(poolDepth), wakeFd_(wakeFd) {}

olm_vout* olm_vout::open(const olm::BackendOps& backend, uint32_t window, int poolDepth,
                         std::string* error) {
    const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        *error = "cannot create an eventfd";
        return nullptr;
    }
    olm::BackendState* state = backend.open(window, error);
    if (!state) {
        close(wakeFd);
        return nullptr;
    }
    auto* output = new olm_vout(backend, state, poolDepth, wakeFd);
    output->renderThread_ = std::thread(&olm_vout::renderLoop, output);
    return output;
}

void olm_vout::shutDown() {
    if (!renderThread_.joinable())
        return;
    quit_.store(true);
    wake();
    renderThread_.join();
    backend_.close(state_);
    state_ = nullptr;
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
    put_.fetch_add(1, std::memory_order_relaxed);
    if (pool_.publish(picture))
        dropped_.fetch_add(1, std::memory_order_relaxed);
    wake();
    return OLM_VOUT_OK;
}

void olm_vout::setDisplayMode(int32_t mode) {
    mode_.store(mode, std::memory_order_relaxed);
    redrawRequested_.store(true, std::memory_order_release);
    wake();
}

olm_vout_stats olm_vout::stats() const {
    return {put_.load(std::memory_order_relaxed), presented_.load(std::memory_order_relaxed),
            dropped_.load(std::memory_order_relaxed)};
}

void olm_vout::renderLoop() {
    // A put wakes this thread while the caller (a decoder, usually) still has work to do. As a
    // batch thread it does not preempt that caller on its core at every wake-up; it waits for a
    // free core instead, so the caller's put returns as soon as the copy is done.
    const sched_param batch{};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch);
    bool gone = false;
    int width = 0, height = 0;
    bool redraw = true; // start by clearing the window to black
    while (!quit_.load(std::memory_order_acquire)) {
        const olm::WindowEvents events = backend_.takeEvents(state_);
        width = events.width;
        height = events.height;
        gone = gone || events.gone;
        redraw = redraw || events.resized || events.exposed;
        if (redrawRequested_.exchange(false, std::memory_order_acquire))
            redraw = true;

        if (pool_.takeNewest()) {
            // Once the host window has gone there is nowhere to draw: the picture is lost.
            (gone ? dropped_ : presented_).fetch_add(1, std::memory_order_relaxed);
            redraw = true;
        }
        if (redraw && !gone) {
            const olm::Picture* picture = pool_.shown();
            const olm::Rect rect =
                picture ? olm::placePicture(mode_.load(std::memory_order_relaxed), picture->width,
                                            picture->height, width, height, picture->format.sarNum,
                                            picture->format.sarDen)
                        : olm::Rect{};
            backend_.present(state_, picture, rect);
            if (!rect.empty())
                targetSize_.store(uint32_t(rect.width) << 16 | uint32_t(rect.height),
                                  std::memory_order_relaxed);
        }
        redraw = false;
        if (!gone && backend_.hasPending(state_))
            continue;

        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {backend_.eventFd(state_), POLLIN, 0}};
        // Sleep until a wake-up or until the window system has something to say.
        if (poll(fds, gone ? 1 : 2, -1) > 0 && (fds[0].revents & POLLIN)) {
            uint64_t count;
            [[maybe_unused]] ssize_t n = read(wakeFd_, &count, sizeof count);
        }
    }
}
