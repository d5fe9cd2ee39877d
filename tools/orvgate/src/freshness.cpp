#include "freshness.h"

#include <algorithm>

namespace orvgate {
namespace {

// Before any cycle has ended: long, but far from overflowing a time point.
constexpr Clock::duration kUnbounded = std::chrono::hours(24);

Clock::duration::rep Ticks(Clock::time_point t) {
    return t.time_since_epoch().count();
}

} // namespace

Freshness::Freshness(std::optional<Clock::duration> fixed) : fixed_(fixed) {}

void Freshness::CycleStarted(Clock::time_point when) {
    cycleStart_.store(Ticks(when));
}

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

void Freshness::CallDone(Clock::time_point when) {
    lastCall_.store(Ticks(when));
}

Clock::duration Freshness::MaxAge(Clock::time_point now) const {
    if (fixed_) {
        return *fixed_;
    }
    if (cycles_.load() == 0) {
        return kUnbounded;
    }
    Clock::duration cycle = std::max(Clock::duration(median_.load()), Clock::duration(last_.load()));
    if (Ticks(now) - lastCall_.load() <= kStalled.count()) {
        cycle = std::max(cycle, Clock::duration(Ticks(now) - cycleStart_.load()));
    }
    return std::max(cycle * kCycles, kLeast);
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
