#include "scan/core_stats.h"

#include <algorithm>
#include <array>
#include <utility>

namespace orvgate {

HealthState CardStatus::SecondaryState(std::int32_t secondary) const {
    if (health.Failing()) {
        return HealthState::Failing;
    }
    const auto at = secondaries.find(secondary);
    return at == secondaries.end() ? HealthState::Unknown : at->second.state;
}

void CycleWindow::Add(Clock::duration cycle) {
    window_[next_] = cycle.count();
    next_ = (next_ + 1) % kCycles;
    filled_ = std::min(filled_ + 1, kCycles);
}

Clock::duration CycleWindow::Median() const {
    if (filled_ == 0) {
        return Clock::duration(0);
    }
    // Eight values at most: sorted in place by insertion.
    std::array<Clock::duration::rep, kCycles> sorted = window_;
    for (std::size_t i = 1; i < filled_; ++i) {
        for (std::size_t j = i; j > 0 && sorted[j - 1] > sorted[j]; --j) {
            std::swap(sorted[j - 1], sorted[j]);
        }
    }
    return Clock::duration(sorted[filled_ / 2]);
}

} // namespace orvgate
