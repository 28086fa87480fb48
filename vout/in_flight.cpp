#include "in_flight.h"

namespace olm {

bool InFlight::add(const Record& record) {
    if (count_ == kCapacity)
        return false;
    records_[count_++] = record;
    return true;
}

bool InFlight::holdsSlot(int slot) const {
    for (size_t i = 0; i < count_; ++i)
        if (records_[i].slot == slot)
            return true;
    return false;
}

void InFlight::removeAt(size_t index) {
    for (size_t i = index + 1; i < count_; ++i)
        records_[i - 1] = records_[i];
    --count_;
}

} // namespace olm
