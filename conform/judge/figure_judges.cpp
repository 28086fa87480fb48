#include "judge/figure_judges.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

std::string us(uint64_t value) {
    return std::to_string(value) + " us";
}

std::string recordName(size_t index, size_t count) {
    return "record " + std::to_string(index + 1) + " of " + std::to_string(count);
}

// p50 and p95 against the records' own latencies, as the header defines them: of the n
// latencies sorted, the one at place (n - 1) * p / 100, rounded down, counting from 0.
Verdict judgePercentiles(const olm_vout_timing& t,
                         const std::vector<olm_vout_presentation>& records) {
    Verdict verdict;
    std::vector<uint32_t> sorted;
    for (const olm_vout_presentation& r : records)
        sorted.push_back(r.latency_us);
    std::sort(sorted.begin(), sorted.end());
    const size_t last = sorted.size() - 1;
    const uint32_t p50 = sorted[last * 50 / 100], p95 = sorted[last * 95 / 100];
    const std::string of = " of the " + std::to_string(sorted.size()) + " records' latencies";
    if (t.latency_p50_us != p50)
        verdict.failBecause("latency p50 " + us(t.latency_p50_us) +
                            " is not the one at place (n - 1) * 50 / 100" + of + " (" + us(p50) +
                            ")");
    else if (t.latency_p95_us != p95)
        verdict.failBecause("latency p95 " + us(t.latency_p95_us) +
                            " is not the one at place (n - 1) * 95 / 100" + of + " (" + us(p95) +
                            ")");
    return verdict;
}

// A picture shown k refreshes after the first one following its put has a latency of at least k
// periods, so the records bound the missed refreshes from above (while the history holds every
// picture shown). An eighth of a period and one picture in sixteen (plus one) of slack for the
// library's own estimate of which refresh came first.
Verdict judgeMissedRefreshes(const olm_vout_timing& t,
                             const std::vector<olm_vout_presentation>& records) {
    Verdict verdict;
    const int64_t period = t.refresh_period_us;
    if (period <= 0 || records.size() >= 256)
        return verdict;
    uint64_t most = 0;
    for (const olm_vout_presentation& r : records)
        most += uint64_t((int64_t(r.latency_us) + period / 8) / period);
    if (t.missed_refreshes > most + records.size() / 16 + 1)
        verdict.failBecause(std::to_string(t.missed_refreshes) +
                            " missed refreshes, where the records allow at most " +
                            std::to_string(most) + " for the " + std::to_string(records.size()) +
                            " pictures shown (their latencies over the period of " +
                            us(t.refresh_period_us) + ")");
    return verdict;
}

} // namespace

const char* pathName(uint32_t path) {
    switch (path) {
    case OLM_VOUT_PATH_PRESENT:
        return "OLM_VOUT_PATH_PRESENT";
    case OLM_VOUT_PATH_PUT_IMAGE:
        return "OLM_VOUT_PATH_PUT_IMAGE";
    case OLM_VOUT_PATH_WAYLAND_PRESENTATION:
        return "OLM_VOUT_PATH_WAYLAND_PRESENTATION";
    case OLM_VOUT_PATH_WAYLAND_FRAME:
        return "OLM_VOUT_PATH_WAYLAND_FRAME";
    default:
        return "an unknown path";
    }
}

bool isTimedPath(uint32_t path) {
    return path == OLM_VOUT_PATH_PRESENT || path == OLM_VOUT_PATH_WAYLAND_PRESENTATION;
}

Verdict judgePresentations(const std::vector<olm_vout_presentation>& records, uint32_t path,
                           const std::vector<PutWindow>& puts, uint64_t nowUs) {
    Verdict verdict;
    const size_t n = records.size();
    for (size_t i = 0; i < n; ++i) {
        const olm_vout_presentation& r = records[i];
        const std::string which = recordName(i, n);
        if (i > 0 && r.screen_us < records[i - 1].screen_us) {
            verdict.failBecause("records out of order: " + which + " on screen at " +
                                us(r.screen_us) + ", before the one ahead of it (" +
                                us(records[i - 1].screen_us) + ")");
            return verdict;
        }
        const uint32_t previous = i > 0 ? records[i - 1].refresh : 0;
        // A compositor without a refresh counter gives 0 for every picture.
        const bool counted = path == OLM_VOUT_PATH_PRESENT || r.refresh || previous;
        if (isTimedPath(path) && i > 0 && counted && int32_t(r.refresh - previous) <= 0) {
            verdict.failBecause("two pictures at one refresh: " + which + " at refresh " +
                                std::to_string(r.refresh) + " after one at refresh " +
                                std::to_string(previous));
            return verdict;
        }
        if (!isTimedPath(path) && r.refresh != 0) {
            verdict.failBecause(which + " has refresh " + std::to_string(r.refresh) + " on " +
                                pathName(path) + " (0 expected)");
            return verdict;
        }
        if (r.screen_us > nowUs) {
            verdict.failBecause(which + " on screen at " + us(r.screen_us) +
                                ", later than the moment of asking (" + us(nowUs) + ")");
            return verdict;
        }
        if (puts.empty())
            continue;
        // Its put: the window that holds screen - latency.
        const int64_t putAt = int64_t(r.screen_us) - int64_t(r.latency_us);
        const auto put = std::find_if(puts.begin(), puts.end(), [&](const PutWindow& w) {
            return putAt + int64_t(kPutSlackUs) >= int64_t(w.beforeUs) &&
                   putAt <= int64_t(w.afterUs + kPutSlackUs);
        });
        if (put == puts.end()) {
            verdict.failBecause(which + ": on screen at " + us(r.screen_us) +
                                " after a latency of " + us(r.latency_us) + " puts its put at " +
                                std::to_string(putAt) +
                                " us, when no put call was running (latency in the wrong unit, "
                                "or not from the put call?)");
            return verdict;
        }
        if (put->seenUs && r.screen_us > put->seenUs + kSeenSlackUs) {
            verdict.failBecause(which + " on screen at " + us(r.screen_us) + ", " +
                                us(r.screen_us - put->seenUs) +
                                " after the tester saw that picture on screen");
            return verdict;
        }
    }
    return verdict;
}

Verdict judgeTiming(const olm_vout_timing& t, const std::vector<olm_vout_presentation>& records,
                    uint32_t measuredPeriodUs) {
    Verdict verdict;
    const std::string latencies = "p50 " + us(t.latency_p50_us) + ", p95 " + us(t.latency_p95_us) +
                                  ", max " + us(t.latency_max_us);
    if (t.latency_p50_us > t.latency_p95_us || t.latency_p95_us > t.latency_max_us)
        verdict.failBecause("latencies out of order: " + latencies);
    if (!records.empty()) {
        uint32_t low = UINT32_MAX, high = 0;
        for (const olm_vout_presentation& r : records) {
            low = std::min(low, r.latency_us);
            high = std::max(high, r.latency_us);
        }
        if (t.latency_max_us == 0)
            verdict.failBecause("latencies all 0 after " + std::to_string(records.size()) +
                                " pictures reached the screen" +
                                (high ? " (their records say up to " + us(high) + ")" : ""));
        else if (t.latency_max_us != high)
            verdict.failBecause("latency max " + us(t.latency_max_us) +
                                " is not the largest latency of the records (" + us(high) + ")");
        else if (t.latency_p50_us < low || t.latency_p95_us < low)
            verdict.failBecause("latency " + latencies + " below the smallest of the records (" +
                                us(low) + ")");
        else
            verdict.merge(judgePercentiles(t, records));
    }
    if (t.path == OLM_VOUT_PATH_PUT_IMAGE || t.path == OLM_VOUT_PATH_WAYLAND_FRAME) {
        if (t.refresh_period_us || t.missed_refreshes)
            verdict.failBecause("refresh period " + us(t.refresh_period_us) + " and " +
                                std::to_string(t.missed_refreshes) + " missed refreshes on " +
                                pathName(t.path) + " (0 expected)");
    } else if (isTimedPath(t.path) && !records.empty()) {
        if (t.refresh_period_us == 0)
            verdict.failBecause(std::string("refresh period 0 on ") + pathName(t.path) + " after " +
                                std::to_string(records.size()) + " presentations");
        else if (measuredPeriodUs &&
                 (uint64_t(t.refresh_period_us) * 4 < uint64_t(measuredPeriodUs) * 3 ||
                  uint64_t(t.refresh_period_us) * 4 > uint64_t(measuredPeriodUs) * 5))
            verdict.failBecause("refresh period " + us(t.refresh_period_us) +
                                ", where the server's refreshes come every " +
                                us(measuredPeriodUs));
        else
            verdict.merge(judgeMissedRefreshes(t, records));
    }
    return verdict;
}

Verdict judgeCounters(const olm_vout_stats& s, uint64_t accepted, uint64_t seen, size_t records) {
    Verdict verdict;
    const std::string counts = "put " + std::to_string(s.put) + ", presented " +
                               std::to_string(s.presented) + ", dropped " +
                               std::to_string(s.dropped);
    if (s.put != accepted)
        verdict.failBecause(counts + ": put is not the " + std::to_string(accepted) +
                            " pictures accepted");
    else if (s.put != s.presented + s.dropped)
        verdict.failBecause(counts + ": put is not presented + dropped once the output is idle");
    else if (s.presented != std::min<uint64_t>(records, 256) && s.presented <= 256)
        verdict.failBecause(counts + ": presented is not the " + std::to_string(records) +
                            " presentation records (dropped pictures counted as presented?)");
    else if (s.presented < seen)
        verdict.failBecause(counts + ": fewer presented than the " + std::to_string(seen) +
                            " pictures the tester saw on screen");
    return verdict;
}
