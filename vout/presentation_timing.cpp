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

uint32_t percentile(std::vector<uint32_t> values, int p) {
    if (values.empty())
        return 0;
    const size_t index = (values.size() - 1) * size_t(p) / 100;
    std::nth_element(values.begin(), values.begin() + long(index), values.end());
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

void PresentationTiming::missed(uint64_t refreshes) {
    std::lock_guard lock(mutex_);
    missed_ += refreshes;
}

olm_vout_timing PresentationTiming::timing() const {
    olm_vout_timing t{};
    t.struct_size = sizeof t;
    t.path = path_.load(std::memory_order_relaxed);
    std::lock_guard lock(mutex_);
    std::vector<uint32_t> latencies(historyCount_);
    for (size_t i = 0; i < historyCount_; ++i)
        latencies[i] = history_[i].latency_us;
    t.latency_p50_us = percentile(latencies, 50);
    t.latency_p95_us = percentile(latencies, 95);
    t.latency_max_us =
        latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end());
    // The median of recent periods: a late event or a skipped refresh does not move it.
    t.refresh_period_us = percentile({periods_.begin(), periods_.begin() + long(periodCount_)}, 50);
    t.missed_refreshes = missed_;
    return t;
}

std::vector<olm_vout_presentation> PresentationTiming::history(size_t capacity) const {
    std::lock_guard lock(mutex_);
    const size_t count = std::min(capacity, historyCount_);
    std::vector<olm_vout_presentation> out(count);
    for (size_t i = 0; i < count; ++i)
        out[i] = history_[(historyNext_ + kHistory - count + i) % kHistory];
    return out;
}

} // namespace olm
