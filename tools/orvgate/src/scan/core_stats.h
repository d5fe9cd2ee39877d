// Each card's scan cycles and health as its thread last published them:
// written by the card threads, read by the front ends for their statistics.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "common/clock.h"
#include "scan/health.h"

namespace orvgate {

// One card as its thread last published it.
struct CardStatus {
    std::int32_t channel = 0;
    Health health;                              // the channel's
    std::map<std::int32_t, Health> secondaries; // as recorded, whatever the channel's state
    std::vector<Health> blocks;                 // by the card's own block index
    std::uint64_t cycles = 0;
    Clock::duration lastCycle{0};
    Clock::duration medianCycle{0};
    std::chrono::microseconds cycleCpu{0}; // the thread's CPU in the last cycle

    // A secondary fails with its channel.
    HealthState SecondaryState(std::int32_t secondary) const;
};

// The median of the last few cycles, so that one slow cycle does not move it.
class CycleWindow {
  public:
    static constexpr std::size_t kCycles = 8;
    void Add(Clock::duration cycle);
    Clock::duration Median() const;

  private:
    std::array<Clock::duration::rep, kCycles> window_{};
    std::size_t filled_ = 0;
    std::size_t next_ = 0;
};

} // namespace orvgate
