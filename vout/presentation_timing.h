#pragma once

// What an output knows about its pictures reaching the screen: how many did, how long each took
// from put, how often the display refreshes and how many refreshes a waiting picture missed.
// X-free: the backend reports, any thread reads. Times are CLOCK_MONOTONIC microseconds.

#include "olm_vout.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

namespace olm {

// Microseconds on CLOCK_MONOTONIC, the clock X servers stamp Present events with.
int64_t monotonicMicros();

class PresentationTiming {
public:
    static constexpr size_t kHistory = 256;
    static constexpr size_t kPeriods = 64;

    void setPath(uint32_t path) { path_.store(path, std::memory_order_relaxed); }

    // A new picture (put at putUs) reached the screen at screenUs, at refresh msc (0: unknown).
    void onScreen(int64_t putUs, int64_t screenUs, uint64_t msc = 0);
    // The display completed a presentation at refresh counter msc, at ustUs: successive readings
    // give the refresh period.
    void refreshSeen(uint64_t msc, int64_t ustUs);
    // The display's refresh period as the window system states it (Wayland's feedback).
    void periodSeen(uint32_t periodUs);
    // A waiting picture missed this many refreshes.
    void missed(uint64_t refreshes);
    // A new picture that was drawn will never be seen (the server skipped or refused it).
    void lost() { lost_.fetch_add(1, std::memory_order_relaxed); }

    uint64_t presented() const { return presented_.load(std::memory_order_relaxed); }
    uint64_t lostCount() const { return lost_.load(std::memory_order_relaxed); }
    // The display's refresh period as measured so far (median of recent ones); 0 when unknown.
    uint32_t refreshPeriodUs() const;
    // Allocates nothing, so it can answer when memory runs out.
    olm_vout_timing timing() const;
    // Copies the most recent presentations, oldest first, at most capacity of them, into out;
    // returns how many.
    size_t copyHistory(olm_vout_presentation* out, size_t capacity) const;

private:
    std::atomic<uint32_t> path_{OLM_VOUT_PATH_PUT_IMAGE};
    std::atomic<uint64_t> presented_{0}, lost_{0};
    mutable std::mutex mutex_;
    std::array<olm_vout_presentation, kHistory> history_{};
    size_t historyCount_ = 0, historyNext_ = 0;
    std::array<uint32_t, kPeriods> periods_{};
    size_t periodCount_ = 0, periodNext_ = 0;
    uint64_t lastMsc_ = 0;
    int64_t lastUst_ = -1;
    uint64_t missed_ = 0;
};

} // namespace olm
