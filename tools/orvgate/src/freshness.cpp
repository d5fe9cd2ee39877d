#include "freshness.h"

#include <algorithm>
#include <chrono>

namespace orvgate {
namespace {

// Before any cycle has ended: long, but far from overflowing a time point.
constexpr Clock::duration kUnbounded = std::chrono::hours(24);

} // namespace

Freshness::Freshness(std::optional<Clock::duration> fixed) : fixed_(fixed) {}

void Freshness::CycleDone(Clock::duration cycle) {
    window_[next_] = cycle.count();
    next_ = (next_ + 1) % kWindow;
    filled_ = std::min(filled_ + 1, kWindow);
    std::array<Clock::duration::rep, kWindow> sorted = window_;
    std::sort(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(filled_));
    median_.store(sorted[filled_ / 2]);
    last_.store(cycle.count());
    cycles_.fetch_add(1);
}

Clock::duration Freshness::MaxAge() const {
    if (fixed_) {
        return *fixed_;
    }
    if (cycles_.load() == 0) {
        return kUnbounded;
    }
    return std::max(Clock::duration(median_.load()) * kCycles, kLeast);
}

Clock::duration Freshness::LastCycle() const {
    return Clock::duration(last_.load());
}

Clock::duration Freshness::MedianCycle() const {
    return Clock::duration(median_.load());
}

std::uint64_t Freshness::Cycles() const {
    return cycles_.load();
}

} // namespace orvgate
