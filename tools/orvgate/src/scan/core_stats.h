// Each card's scan cycles and health as its thread last published them:
// written by the card threads, read by the front ends for their statistics.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "common/clock.h"
#include "scan/health.h"

namespace orvgate {

// One scan class on one card, as its scheduler judges it.
struct ClassFigures {
    Clock::duration period{0};    // as configured
    Clock::duration effective{0}; // as the scheduler runs it, stretched when the line is short
    Clock::duration achievedMedian{0};
    Clock::duration achievedP99{0}; // of the intervals between the last reads of each block
    Clock::duration busy{0};        // line time its reads took, since the start
    Clock::duration demand{0};      // line time one round of its blocks takes
    std::uint64_t reads = 0;
    std::size_t blocks = 0; // the card's blocks of the class
    bool missing = false;   // its achieved period is behind its configured one
};

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
    // By scan class index (every class of the map, whether or not this card
    // reads any of it); the line's time taken by reads and jobs, over the
    // time the card has run.
    std::vector<ClassFigures> classes;
    Clock::duration lineBusy{0};
    Clock::duration running{0};

    // A secondary fails with its channel.
    HealthState SecondaryState(std::int32_t secondary) const;
};

// The share (0..1) of `running` that `busy` took.
inline double LineShare(Clock::duration busy, Clock::duration running) {
    return running.count() > 0 ? std::min(1.0, Seconds(busy) / Seconds(running)) : 0.0;
}

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
