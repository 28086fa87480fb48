#include "output.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>
#include <system_error>

namespace {

// How long destroy lets the render thread finish on its own before it cuts the window system's
// connection under it.
constexpr auto kRenderStopGrace = std::chrono::milliseconds(500);

// Where a picture shows in a window: placed as it is displayed, so a quarter turn swaps its sides
// and its sample aspect.
olm::Rect placeAsDisplayed(int32_t mode, const olm::PlaneSet& planes,
                           const olm::PictureFormat& format, int windowWidth, int windowHeight) {
    const bool swapped = format.sidesSwapped();
    return olm::placePicture(mode, swapped ? planes.height : planes.width,
                             swapped ? planes.width : planes.height, windowWidth, windowHeight,
                             swapped ? format.sarDen : format.sarNum,
                             swapped ? format.sarNum : format.sarDen);
}

} // namespace

olm_vout::olm_vout(int poolDepth, int wakeFd) : pool_(poolDepth), wakeFd_(wakeFd) {}

std::unique_ptr<olm_vout> olm_vout::open(olm::OpenBackend openBackend,
                                         const olm::BackendContext& host, int poolDepth,
                                         std::string* error) {
    const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        *error = "cannot create an eventfd";
        return nullptr;
    }
    std::unique_ptr<olm_vout> output;
    try {
        output.reset(new olm_vout(poolDepth, wakeFd));
    } catch (const std::bad_alloc&) {
        close(wakeFd);
        *error = "out of memory";
        return nullptr;
    }
    // From here on the output owns the descriptor, and its destructor closes what is open.
    try {
        olm::BackendContext context = host;
        context.timing = &output->timing_;
        output->backend_ = openBackend(context, error);
        if (!output->backend_)
            return nullptr;
        output->coversArea_ = host.wayland.surface != nullptr;
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
            backend_->interrupt();
        renderThread_.join();
    }
    quit_.store(true, std::memory_order_release);
    std::lock_guard lock(layoutMutex_);
    backend_.reset();
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
    // A picture shown at half its size or less gets a box-reduced version, made here while the
    // caller's planes are still in this core's cache. A borrowed one then needs its planes no
    // more: they go back to the caller at once (a decoder reuses them while they are in its
    // cache), and the reduced version serves for redraws too; it is reduced by 4 where that
    // still covers the size shown, sparing the render thread a second pass.
    const int reduction = reductionFor(source);
    const bool withHalf = reduction != 0;
    bool taken = true;
    if (!source.release.function)
        taken = picture->copyFrom(source, withHalf);
    else if (withHalf)
        taken = picture->keepReducedOf(source, reduction);
    else
        picture->borrow(source);
    if (!taken) {
        pool_.release(picture);
        return OLM_VOUT_E_NO_MEMORY;
    }
    picture->putMicros = source.putMicros;
    put_.fetch_add(1, std::memory_order_relaxed);
    if (pool_.publish(picture))
        dropped_.fetch_add(1, std::memory_order_relaxed);
    if (source.release.function && withHalf)
        source.release(); // the output holds no reference to the planes
    // The pool's lock orders this read after the render thread's store before its last look.
    if (wantsPicture_.load(std::memory_order_acquire))
        wake();
    return OLM_VOUT_OK;
}

int olm_vout::reductionFor(const olm::PictureSource& source) const {
    const uint32_t window = windowSize_.load(std::memory_order_relaxed);
    if (window == 0)
        return 0;
    const olm::Rect shown =
        placeAsDisplayed(mode_.load(std::memory_order_relaxed), source, source.format,
                         int(window >> 16), int(window & 0xffff));
    const bool swapped = source.format.sidesSwapped();
    // The size shown, in the picture's own orientation, as the reduction sees it.
    const int targetWidth = swapped ? shown.height : shown.width;
    const int targetHeight = swapped ? shown.width : shown.height;
    auto covers = [&](int factor) {
        return (source.width + factor - 1) / factor >= targetWidth &&
               (source.height + factor - 1) / factor >= targetHeight;
    };
    if (shown.empty() || !covers(2))
        return 0;
    // By 4 in one pass where a quarter still covers it and chroma divides by 4 as well.
    return covers(4) && source.width % 8 == 0 && source.height % 8 == 0 ? 4 : 2;
}

void olm_vout::setDisplayMode(int32_t mode) {
    mode_.store(mode, std::memory_order_relaxed);
    redrawRequested_.store(true, std::memory_order_release);
    wake();
}

void olm_vout::setArea(const olm::Rect& area) {
    // The new place, size and placement go to the window system before the caller commits its
    // own surface, so that all of it shows with that commit.
    std::lock_guard lock(layoutMutex_);
    if (!backend_)
        return;
    const olm::Picture* shown = pool_.shown();
    const int32_t mode = mode_.load(std::memory_order_relaxed);
    backend_->moveArea(area, [&](int width, int height) {
        return shown ? placeAsDisplayed(mode, *shown, shown->format, width, height) : olm::Rect{};
    });
    wake(); // the render thread redraws at the new size
}

olm_vout_stats olm_vout::stats() const {
    return {put_.load(std::memory_order_relaxed), timing_.presented(),
            dropped_.load(std::memory_order_relaxed) + timing_.lostCount()};
}

bool olm_vout::renderPass(RenderState& state) {
    std::lock_guard lock(layoutMutex_);
    const olm::WindowEvents events = backend_->pump();
    windowSize_.store(uint32_t(events.width) << 16 | uint32_t(events.height),
                      std::memory_order_relaxed);
    state.gone = state.gone || events.gone;
    if (events.resized || events.exposed ||
        redrawRequested_.exchange(false, std::memory_order_acquire))
        state.redraw = true;
    if (state.hidden && !events.hidden)
        state.redraw = true; // visible again: show the last picture at once
    state.hidden = events.hidden;

    if (state.gone || state.hidden) {
        // Nothing to see: newer pictures are let go unseen, the last one kept for later.
        if (!pool_.takeNewest())
            return false;
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    if (!backend_->canPresent())
        return false; // no free buffer; the pool keeps the newest picture
    int64_t putMicros = -1;
    if (const olm::Picture* fresh = pool_.takeNewest()) {
        putMicros = fresh->putMicros;
        state.redraw = true;
        state.retryAtUs = 0; // a new picture is tried at once
    }
    if (!state.redraw || olm::monotonicMicros() < state.retryAtUs)
        return false;
    const olm::Picture* picture = pool_.shown();
    const olm::Rect rect = picture
                               ? placeAsDisplayed(mode_.load(std::memory_order_relaxed), *picture,
                                                  picture->format, events.width, events.height)
                               : olm::Rect{};
    olm::PresentResult result = olm::PresentResult::NotDrawn;
    try {
        result = backend_->present(picture, rect, putMicros);
    } catch (const std::exception&) {
        // Out of memory while scaling, say: this picture is skipped, the output lives on.
    }
    if (result == olm::PresentResult::NotDrawn) {
        if (putMicros >= 0)
            dropped_.fetch_add(1, std::memory_order_relaxed);
        // The window still shows something older: draw it again a little later, as long as
        // nothing newer comes.
        state.retryLater();
        return false;
    }
    state.redraw = false;
    state.retryAtUs = 0;
    state.retryDelayUs = 0;
    return true;
}

void olm_vout::RenderState::retryLater() {
    retryDelayUs = std::clamp<int64_t>(retryDelayUs * 2, 20'000, 1'000'000);
    retryAtUs = olm::monotonicMicros() + retryDelayUs;
}

void olm_vout::waitForWork(bool gone, int64_t wakeAtUs) {
    int timeoutMs = -1;
    if (const int64_t deadline = std::min(backend_->nextDeadline(), wakeAtUs);
        deadline != olm::kNoDeadline)
        timeoutMs =
            int(std::clamp<int64_t>((deadline - olm::monotonicMicros() + 999) / 1000, 0, 60'000));
    // A window system that is gone would keep its descriptor readable: only wake-ups count then.
    if (!gone && !backend_->prepareWait())
        return; // something came meanwhile: look again first
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {backend_->eventFd(), POLLIN, 0}};
    const int ready = poll(fds, gone ? 1 : 2, timeoutMs);
    if (!gone)
        backend_->finishWait(ready > 0 && (fds[1].revents & POLLIN));
    if (ready > 0 && (fds[0].revents & POLLIN)) {
        uint64_t count;
        [[maybe_unused]] ssize_t n = read(wakeFd_, &count, sizeof count);
    }
}

void olm_vout::renderLoop() {
    pthread_setname_np(pthread_self(), "olm_vout render"); // for debuggers and profilers
    if (!backend_->presentsAtRefresh()) {
        // Drawn into the window as soon as it comes, a picture can wait for a free core: as a
        // batch thread this one does not preempt the caller (a decoder, usually) at every put.
        // Pictures due at the next refresh cannot wait, so the Present path keeps the default.
        const sched_param batch{};
        pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch);
    }
    RenderState state;
    while (!quit_.load(std::memory_order_acquire)) {
        // Nothing may leave this thread: it would end the caller's process. A pass that ran out
        // of memory (taking in events, say) leaves the window to be drawn again a little later.
        try {
            // Drawing may read the window system's connection: look again before sleeping.
            if (renderPass(state))
                continue;
        } catch (const std::exception&) {
            state.redraw = true;
            state.retryLater();
        }
        // Gone or hidden, a new picture is let go at once; otherwise only when it can be drawn.
        const bool ready = state.gone || state.hidden || backend_->canPresent();
        wantsPicture_.store(ready, std::memory_order_release);
        if (ready && pool_.hasReady())
            continue; // published before the store above was seen
        waitForWork(state.gone,
                    state.redraw && state.retryAtUs ? state.retryAtUs : olm::kNoDeadline);
    }
    renderEnded_.store(true, std::memory_order_release);
}
