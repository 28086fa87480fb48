#pragma once

// Pictures sent to the window system and not yet known to be on screen. Each is a record under a
// key that the window system's answer names (a Present serial, a shared-memory put's segment and
// request number, a round trip's request number), so an answer that comes after its picture was
// given up matches nothing. A record whose answer never comes is given up after a limit: an
// output never waits for the window system forever. X-free.

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

namespace olm {

// No deadline: nothing waits.
constexpr int64_t kNoDeadline = std::numeric_limits<int64_t>::max();

class InFlight {
public:
    static constexpr size_t kCapacity = 8;
    static constexpr int64_t kLimitUs = 1'000'000;

    struct Record {
        uint64_t key = 0;
        uint32_t sequence = 0;  // of the request that sent it, to match an error
        int slot = -1;          // the buffer it occupies, or -1
        int64_t putMicros = -1; // of a new picture; -1 for a redraw of one already counted
        int64_t sentUs = 0;
        uint64_t due = 0; // the display refresh it is due at, where known (Present); else 0
    };

    // False when full; callers send only while there is room.
    bool add(const Record& record);
    // Removes and returns the first record (oldest first) that pred accepts.
    template <typename Pred> std::optional<Record> takeFirst(Pred pred) {
        for (size_t i = 0; i < count_; ++i) {
            if (pred(records_[i])) {
                const Record found = records_[i];
                removeAt(i);
                return found;
            }
        }
        return std::nullopt;
    }
    std::optional<Record> take(uint64_t key) {
        return takeFirst([key](const Record& r) { return r.key == key; });
    }
    // The record added last, or null.
    Record* newest() { return count_ ? &records_[count_ - 1] : nullptr; }
    const Record* oldest() const { return count_ ? &records_[0] : nullptr; }
    // Removes every record sent more than kLimitUs before nowUs, oldest first, handing each to
    // onExpired.
    template <typename F> void expire(int64_t nowUs, F onExpired) {
        while (count_ && nowUs - records_[0].sentUs >= kLimitUs) {
            const Record gone = records_[0];
            removeAt(0);
            onExpired(gone);
        }
    }
    // When the oldest record will be given up; kNoDeadline when there is none.
    int64_t nextDeadline() const { return count_ ? records_[0].sentUs + kLimitUs : kNoDeadline; }
    size_t size() const { return count_; }
    bool full() const { return count_ == kCapacity; }
    bool holdsSlot(int slot) const;

private:
    void removeAt(size_t index);

    std::array<Record, kCapacity> records_{};
    size_t count_ = 0;
};

} // namespace olm
