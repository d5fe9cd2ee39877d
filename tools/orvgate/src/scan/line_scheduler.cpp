#include "scan/line_scheduler.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace orvgate {
namespace {

// A class misses its period once its median interval is this far behind
// (or more than the card's longest read), and has recovered once it is back
// within the second (or half that read): the gap keeps a class near its
// limit from being logged at every read.
constexpr double kMissingAt = 1.2;
constexpr double kRecoveredAt = 1.1;
// Intervals a class is judged on, at least, before it is said to miss.
constexpr std::size_t kLeastJudged = 4;

double SecondsOf(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

Clock::duration DurationOf(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// The value at `share` (0..1) of the sorted intervals.
Clock::duration Quantile(std::vector<Clock::duration> v, double share) {
    if (v.empty()) {
        return Clock::duration{0};
    }
    std::sort(v.begin(), v.end());
    const auto at = static_cast<std::size_t>(std::ceil(share * static_cast<double>(v.size())));
    return v[std::min(v.size() - 1, at == 0 ? 0 : at - 1)];
}

} // namespace

LineScheduler::LineScheduler(std::vector<Clock::duration> periods, std::vector<std::size_t> blockClasses,
                             Clock::time_point now)
    : started_(now) {
    for (const Clock::duration p : periods) {
        Class c;
        c.period = p;
        classes_.push_back(c);
    }
    std::vector<std::size_t> count(classes_.size(), 0);
    for (const std::size_t c : blockClasses) {
        count.at(c) += 1;
    }
    // Every block is due at once, so that the first cycle fills the cache;
    // block k of a class of n is due next k/n of a period after one period.
    std::vector<std::size_t> seen(classes_.size(), 0);
    for (const std::size_t c : blockClasses) {
        Block b;
        b.scanClass = c;
        b.due = now;
        b.phase = classes_[c].period * static_cast<Clock::duration::rep>(seen[c]++) /
                  static_cast<Clock::duration::rep>(count[c]);
        blocks_.push_back(b);
    }
    for (std::size_t c = 0; c < classes_.size(); ++c) {
        classes_[c].effective = Nominal(c);
    }
}

// A block not read yet is taken to cost what the card's reads cost on the
// average, so that the first reads already tell how loaded the line is.
Clock::duration LineScheduler::Demand(std::size_t scanClass) const {
    Clock::duration sum{0};
    Clock::duration known{0};
    std::size_t measured = 0;
    std::size_t unmeasured = 0;
    for (const Block &b : blocks_) {
        if (b.lastRead) {
            known += b.cost;
            ++measured;
        }
        if (b.scanClass == scanClass) {
            if (b.lastRead) {
                sum += b.cost;
            } else {
                ++unmeasured;
            }
        }
    }
    if (measured > 0) {
        sum += known * static_cast<Clock::duration::rep>(unmeasured) / static_cast<Clock::duration::rep>(measured);
    }
    return sum;
}

// The first read of each block is due at once, but as urgent as its place
// in its class's period, so that a slow class's first cycle does not pass
// a fast class's reads.
Clock::time_point LineScheduler::Deadline(const Block &b) const {
    const Clock::duration effective = classes_[b.scanClass].effective;
    return b.lastRead ? b.due + effective : started_ + b.phase + effective;
}

// A class of period 0 asks for one round of its blocks back to back.
Clock::duration LineScheduler::Nominal(std::size_t scanClass) const {
    const Clock::duration p = classes_[scanClass].period;
    return p.count() > 0 ? p : std::max<Clock::duration>(Demand(scanClass), std::chrono::milliseconds(1));
}

void LineScheduler::Stretch() {
    std::vector<std::size_t> order(classes_.size());
    std::iota(order.begin(), order.end(), 0);
    // Period 0 first (it takes what is left), then the longest period first.
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const Clock::duration pa = classes_[a].period;
        const Clock::duration pb = classes_[b].period;
        if ((pa.count() == 0) != (pb.count() == 0)) {
            return pa.count() == 0;
        }
        return pa > pb;
    });
    std::vector<double> demand(classes_.size());
    std::vector<double> effective(classes_.size());
    double total = 0;
    for (std::size_t c = 0; c < classes_.size(); ++c) {
        demand[c] = SecondsOf(Demand(c));
        effective[c] = SecondsOf(Nominal(c));
        total += demand[c] / effective[c];
    }
    for (const std::size_t c : order) {
        if (total <= kLineBudget) {
            break;
        }
        const double rest = total - demand[c] / effective[c];
        const double room = kLineBudget - rest;
        const double most = effective[c] * kMostStretch;
        effective[c] = room > 0 ? std::clamp(demand[c] / room, effective[c], most) : most;
        total = rest + demand[c] / effective[c];
    }
    for (std::size_t c = 0; c < classes_.size(); ++c) {
        classes_[c].effective = DurationOf(effective[c]);
    }
}

LineScheduler::Step LineScheduler::Next(Clock::time_point now, bool jobsWaiting,
                                        const std::function<bool(std::size_t)> &readable) const {
    Step step;
    if (jobsWaiting && jobsShare_ < std::max(lastRead_, kLeastJobShare)) {
        step.kind = Step::Kind::Jobs;
        return step;
    }
    std::optional<std::size_t> best;
    Clock::time_point bestDeadline = Clock::time_point::max();
    Clock::time_point nextDue = Clock::time_point::max();
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
        const Block &b = blocks_[i];
        if (b.due > now) {
            nextDue = std::min(nextDue, b.due);
            continue;
        }
        if (!readable(i)) {
            continue;
        }
        const Clock::time_point deadline = Deadline(b);
        if (!best || deadline < bestDeadline) {
            best = i;
            bestDeadline = deadline;
        }
    }
    if (best) {
        step.kind = Step::Kind::Block;
        step.block = *best;
    } else if (jobsWaiting) {
        step.kind = Step::Kind::Jobs;
    } else {
        step.until = nextDue;
    }
    return step;
}

void LineScheduler::JobRan(Clock::time_point start, Clock::time_point end) {
    jobsShare_ += end - start;
    jobsBusy_ += end - start;
}

std::vector<ClassChange> LineScheduler::BlockRead(std::size_t block, Clock::time_point start, Clock::time_point end) {
    Block &b = blocks_.at(block);
    Class &c = classes_[b.scanClass];
    const Clock::duration took = end - start;
    const bool first = !b.lastRead;
    b.cost = first ? took : (b.cost * 3 + took) / 4;
    // The interval after the first read is its move to its place in the
    // period, not the class's rate.
    if (b.reads >= 2) {
        if (c.intervals.size() < kWindow) {
            c.intervals.push_back(start - *b.lastRead);
        } else {
            c.intervals[c.nextInterval] = start - *b.lastRead;
        }
        c.nextInterval = (c.nextInterval + 1) % kWindow;
    }
    b.lastRead = start;
    b.reads += 1;
    b.readThisRound = true;
    c.busy += took;
    c.reads += 1;
    jobsShare_ = Clock::duration{0};
    lastRead_ = took;
    if (!roundStart_) {
        roundStart_ = start;
    }
    Stretch();
    // Due one period after it was last due, so that the class stays spread;
    // a read that came more than a period late starts the count afresh.
    const Clock::time_point after = first ? started_ + b.phase + c.effective : b.due + c.effective;
    b.due = c.period.count() == 0 ? start : std::max(after, start);

    std::vector<ClassChange> changes;
    if (c.period.count() > 0 && c.intervals.size() >= kLeastJudged) {
        // A read under way is never cut short: a class late by no more than
        // the card's longest read keeps its period as well as the line allows.
        Clock::duration longest{0};
        for (const Block &other : blocks_) {
            longest = std::max(longest, other.cost);
        }
        const double median = SecondsOf(Quantile(c.intervals, 0.5));
        const double period = SecondsOf(c.period);
        const double slack = SecondsOf(longest);
        if (!c.missing && median > period + std::max(period * (kMissingAt - 1), slack)) {
            c.missing = true;
            changes.push_back(ClassChange{b.scanClass, true, DurationOf(median)});
        } else if (c.missing && median <= period + std::max(period * (kRecoveredAt - 1), slack / 2)) {
            c.missing = false;
            changes.push_back(ClassChange{b.scanClass, false, DurationOf(median)});
        }
    }
    return changes;
}

std::optional<Clock::duration> LineScheduler::TakeRound(Clock::time_point now,
                                                        const std::function<bool(std::size_t)> &readable) {
    if (!roundStart_) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
        if (!blocks_[i].readThisRound && readable(i)) {
            return std::nullopt;
        }
    }
    for (Block &b : blocks_) {
        b.readThisRound = false;
    }
    const Clock::duration length = now - *roundStart_;
    roundStart_.reset();
    return length;
}

ClassFigures LineScheduler::Figures(std::size_t scanClass) const {
    const Class &c = classes_.at(scanClass);
    ClassFigures f;
    f.period = c.period;
    f.effective = c.effective;
    f.achievedMedian = Quantile(c.intervals, 0.5);
    f.achievedP99 = Quantile(c.intervals, 0.99);
    f.busy = c.busy;
    f.demand = Demand(scanClass);
    f.reads = c.reads;
    f.blocks = static_cast<std::size_t>(
        std::count_if(blocks_.begin(), blocks_.end(), [&](const Block &b) { return b.scanClass == scanClass; }));
    f.missing = c.missing;
    return f;
}

Clock::duration LineScheduler::Busy() const {
    Clock::duration sum = jobsBusy_;
    for (const Class &c : classes_) {
        sum += c.busy;
    }
    return sum;
}

} // namespace orvgate
