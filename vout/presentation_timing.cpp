#include "presentation_timing.h"

#include <algorithm>
#include <ctime>

namespace olm {

int64_t monotonicMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

namespace {

// The p-th percentile of values[0 .. count), reordering them; 0 when there are none.
uint32_t percentile(uint32_t* values, size_t count, int p) {
    if (count == 0)
        return 0;
    const size_t index = (count - 1) * size_t(p) / 100;
    std::nth_element(values, values + index, values + count);
    return values[index];
}

} // namespace

void PresentationTiming::onScreen(int64_t putUs, int64_t screenUs, uint64_t msc) {
    presented_.fetch_add(1, std::memory_order_relaxed);
    const int64_t latency = std::clamp<int64_t>(screenUs - putUs, 0, UINT32_MAX);
    std::lock_guard lock(mutex_);
    history_[historyNext_] = {uint64_t(std::max<int64_t>(screenUs, 0)), uint32_t(latency),
                              uint32_t(msc)};
    historyNext_ = (historyNext_ + 1) % kHistory;
    historyCount_ = std::min(historyCount_ + 1, kHistory);
}

void PresentationTiming::refreshSeen(uint64_t msc, int64_t ustUs) {
    std::lock_guard lock(mutex_);
    if (lastUst_ >= 0 && msc > lastMsc_ && ustUs > lastUst_) {
        const int64_t period = (ustUs - lastUst_) / int64_t(msc - lastMsc_);
        periods_[periodNext_] = uint32_t(std::min<int64_t>(period, UINT32_MAX));
        periodNext_ = (periodNext_ + 1) % periods_.size();
        periodCount_ = std::min(periodCount_ + 1, periods_.size());
    }
    lastMsc_ = msc;
    lastUst_ = ustUs;
}

void PresentationTiming::periodSeen(uint32_t periodUs) {
    std::lock_guard lock(mutex_);
    periods_[periodNext_] = periodUs;
    periodNext_ = (periodNext_ + 1) % periods_.size();
    periodCount_ = std::min(periodCount_ + 1, periods_.size());
}

void PresentationTiming::missed(uint64_t refreshes) {
    std::lock_guard lock(mutex_);
    missed_ += refreshes;
}

uint32_t PresentationTiming::refreshPeriodUs() const {
    std::lock_guard lock(mutex_);
    // The median of recent periods: a late event or a skipped refresh does not move it.
    std::array<uint32_t, kPeriods> periods = periods_;
    return percentile(periods.data(), periodCount_, 50);
}

olm_vout_timing PresentationTiming::timing() const {
    olm_vout_timing t{};
    t.struct_size = sizeof t;
    t.path = path_.load(std::memory_order_relaxed);
    std::array<uint32_t, kHistory> latencies;
    std::array<uint32_t, kPeriods> periods;
    size_t count = 0, periodCount = 0;
    {
        std::lock_guard lock(mutex_);
        count = historyCount_;
        for (size_t i = 0; i < count; ++i)
            latencies[i] = history_[i].latency_us;
        periods = periods_;
        periodCount = periodCount_;
        t.missed_refreshes = missed_;
    }
    t.latency_max_us =
        count ? *std::max_element(latencies.begin(), latencies.begin() + long(count)) : 0;
    t.latency_p50_us = percentile(latencies.data(), count, 50);
    t.latency_p95_us = percentile(latencies.data(), count, 95);
    t.refresh_period_us = percentile(periods.data(), periodCount, 50);
    return t;
}

size_t PresentationTiming::copyHistory(olm_vout_presentation* out, size_t capacity) const {
    std::lock_guard lock(mutex_);
    const size_t count = std::min(capacity, historyCount_);
    for (size_t i = 0; i < count; ++i)
        out[i] = history_[(historyNext_ + kHistory - count + i) % kHistory];
    return count;
}

} // namespace olm
