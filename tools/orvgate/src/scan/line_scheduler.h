// What one card's line does next: serve its queued jobs, read one of its
// blocks, or wait. Every block is due at the start, so that the first cycle
// fills the cache; then each is due one period of its class after it was
// last due, the blocks of a class spread over its period (block k of n is
// due k/n of a period later than the first), so that they come due one by
// one rather than in a burst. Of the due blocks the one whose
// deadline (due + period) comes first is read: earliest deadline first.
//
// When the classes together ask more of the line than it carries (judged by
// each block's measured read time), the class with the longest period is
// stretched first, as far as kMostStretch of its periods, then the next, so
// that the fast classes keep theirs. A class of period 0 (the default class
// with --scan-period 0) reads as fast as the line lets it and is stretched
// before any other.
//
// No block is starved: a due block's deadline never moves, and every block
// read after it was due had an earlier one, so it waits at most for the
// blocks due before its deadline; while the classes stretched to their bound
// fit the line, every block is read at least once in kMostStretch periods of
// its class.
//
// Jobs (writes, transparent requests) keep the share they had: after every
// block read the waiting jobs run for as long as that read took (at least
// one job), so that a job waits for at most one read and the scan for at
// most one read's time of jobs.
//
// Pure: no thread, no clock of its own; the card's thread, its only user,
// passes the time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "common/clock.h"
#include "scan/core_stats.h"

namespace orvgate {

// A class that began or stopped missing its period, for the log.
struct ClassChange {
    std::size_t scanClass = 0;
    bool missing = false;
    Clock::duration achieved{0};
};

class LineScheduler {
  public:
    // The most a class is stretched, in its own periods: the starvation bound.
    static constexpr int kMostStretch = 8;
    // The share of the line the classes are planned to; the rest is the
    // jobs' and the estimates' slack.
    static constexpr double kLineBudget = 0.95;
    // The least time jobs get after a block read.
    static constexpr Clock::duration kLeastJobShare = std::chrono::milliseconds(1);
    // Intervals a class's achieved period is judged over.
    static constexpr std::size_t kWindow = 32;

    // `periods`: by class index; `blockClasses`: each block's class, by the
    // card's own block index.
    LineScheduler(std::vector<Clock::duration> periods, std::vector<std::size_t> blockClasses, Clock::time_point now);

    struct Step {
        enum class Kind { Jobs, Block, Wait };
        Kind kind = Kind::Wait;
        std::size_t block = 0;     // Block
        Clock::time_point until{}; // Wait: when the next block is due (max() when none)
    };
    // The next step at `now`; `readable` says which blocks the health model
    // lets the scan read now (a failing block keeps its back-off).
    Step Next(Clock::time_point now, bool jobsWaiting, const std::function<bool(std::size_t)> &readable) const;

    // A job ran on the line from `start` to `end`.
    void JobRan(Clock::time_point start, Clock::time_point end);
    // A block was read from `start` to `end`; what class began or stopped missing its period.
    std::vector<ClassChange> BlockRead(std::size_t block, Clock::time_point start, Clock::time_point end);

    // Whether every block was read since the last round ended, a block the
    // health model keeps from the scan counted as read; if so the round ends
    // and its length is returned.
    std::optional<Clock::duration> TakeRound(Clock::time_point now, const std::function<bool(std::size_t)> &readable);

    std::size_t ClassCount() const {
        return classes_.size();
    }
    ClassFigures Figures(std::size_t scanClass) const;
    // The line time spent on reads and jobs since the start.
    Clock::duration Busy() const;
    Clock::time_point Started() const {
        return started_;
    }

  private:
    struct Block {
        std::size_t scanClass = 0;
        Clock::time_point due{};
        Clock::duration phase{0}; // its place in its class's period
        std::optional<Clock::time_point> lastRead;
        std::uint64_t reads = 0;
        Clock::duration cost{0}; // its read's line time, smoothed
        bool readThisRound = false;
    };
    struct Class {
        Clock::duration period{0};
        Clock::duration effective{0};
        Clock::duration busy{0};
        std::uint64_t reads = 0;
        std::vector<Clock::duration> intervals; // the last kWindow, as a ring
        std::size_t nextInterval = 0;
        bool missing = false;
    };
    Clock::duration Demand(std::size_t scanClass) const;
    Clock::time_point Deadline(const Block &b) const;
    // The periods each class runs at so that the classes fit the line.
    void Stretch();
    Clock::duration Nominal(std::size_t scanClass) const;

    std::vector<Class> classes_;
    std::vector<Block> blocks_;
    Clock::time_point started_;
    Clock::duration jobsBusy_{0};
    Clock::duration lastRead_{0};  // the last block read's time
    Clock::duration jobsShare_{0}; // jobs' time since the last block read
    std::optional<Clock::time_point> roundStart_;
};

} // namespace orvgate
