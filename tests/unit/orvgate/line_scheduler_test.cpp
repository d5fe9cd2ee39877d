// The line scheduler's rules on a fake line: each block read takes its own
// time, jobs arrive when the case says, and the clock moves only by what
// the line does.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>

#include "scan/line_scheduler.h"

namespace orvgate {
namespace {

using namespace std::chrono_literals;

struct Read {
    std::size_t block;
    Clock::time_point start;
};

class FakeLine {
  public:
    FakeLine(std::vector<Clock::duration> periods, std::vector<std::size_t> classes, std::vector<Clock::duration> costs)
        : t0(Clock::time_point() + 1h), now(t0), scheduler(std::move(periods), std::move(classes), t0),
          cost(std::move(costs)) {}

    // Runs the line until `end`.
    void RunUntil(Clock::time_point end) {
        const auto all = [](std::size_t) { return true; };
        while (now < end) {
            const bool waiting = !jobs.empty() && jobs.front() <= now;
            const LineScheduler::Step step = scheduler.Next(now, waiting, all);
            if (step.kind == LineScheduler::Step::Kind::Jobs) {
                jobWaits.push_back(now - jobs.front());
                jobs.pop_front();
                const Clock::time_point start = now;
                now += jobCost;
                scheduler.JobRan(start, now);
            } else if (step.kind == LineScheduler::Step::Kind::Block) {
                reads.push_back(Read{step.block, now});
                const Clock::time_point start = now;
                now += cost.at(step.block);
                for (const ClassChange &c : scheduler.BlockRead(step.block, start, now)) {
                    changes.push_back(c);
                }
            } else {
                now = std::min({step.until, end, jobs.empty() ? end : std::max(jobs.front(), now)});
            }
        }
    }

    // The longest time between two reads of `block` from `from` on.
    Clock::duration LongestGap(std::size_t block, Clock::time_point from) const {
        Clock::duration most{0};
        std::optional<Clock::time_point> last;
        for (const Read &r : reads) {
            if (r.block == block && r.start >= from) {
                if (last) {
                    most = std::max(most, r.start - *last);
                }
                last = r.start;
            }
        }
        return most;
    }

    Clock::time_point t0;
    Clock::time_point now;
    LineScheduler scheduler;
    std::vector<Clock::duration> cost;
    Clock::duration jobCost = 1ms;
    std::deque<Clock::time_point> jobs; // arrivals, in order
    std::vector<Clock::duration> jobWaits;
    std::vector<Read> reads;
    std::vector<ClassChange> changes;
};

TEST(LineSchedulerTest, TheBlockWhoseDeadlineComesFirstIsReadFirst) {
    // Class 0 bulk (2.5 s) holds blocks 0 and 1, class 1 the alarm (200 ms), block 2.
    FakeLine line({2500ms, 200ms}, {0, 0, 1}, {24ms, 24ms, 3ms});
    line.RunUntil(line.t0 + 1ms);
    ASSERT_FALSE(line.reads.empty());
    EXPECT_EQ(line.reads.front().block, 2u) << "all due at once: the alarm's deadline is the nearest";
}

TEST(LineSchedulerTest, AClassIsReadSpreadOverItsPeriodNotInABurst) {
    FakeLine line({200ms}, {0, 0, 0, 0}, {3ms, 3ms, 3ms, 3ms});
    line.RunUntil(line.t0 + 2s);
    std::vector<Clock::time_point> later;
    for (const Read &r : line.reads) {
        if (r.start >= line.t0 + 200ms) {
            later.push_back(r.start);
        }
    }
    ASSERT_GE(later.size(), 30u);
    for (std::size_t i = 1; i < later.size(); ++i) {
        EXPECT_EQ(later[i] - later[i - 1], 50ms) << "read " << i;
    }
    for (std::size_t b = 0; b < 4; ++b) {
        EXPECT_EQ(line.LongestGap(b, line.t0 + 200ms), 200ms);
    }
}

// Alarm 200 ms (8 x 2.6 ms: 10 %), mid 1 s (16 x 24 ms: 38 %), bulk 2.5 s
// (106 x 24 ms: 102 %): 150 % of the line asked.
TEST(LineSchedulerTest, AShortLineStretchesTheLongestPeriodFirstAndSaysSoOnceEachWay) {
    std::vector<std::size_t> classes;
    std::vector<Clock::duration> costs;
    const auto add = [&](std::size_t c, int n, Clock::duration cost) {
        classes.insert(classes.end(), static_cast<std::size_t>(n), c);
        costs.insert(costs.end(), static_cast<std::size_t>(n), cost);
    };
    add(0, 8, 2600us);
    add(1, 16, 24ms);
    add(2, 106, 24ms);
    FakeLine line({200ms, 1000ms, 2500ms}, classes, costs);
    line.RunUntil(line.t0 + 60s);

    const ClassFigures alarm = line.scheduler.Figures(0);
    const ClassFigures mid = line.scheduler.Figures(1);
    const ClassFigures bulk = line.scheduler.Figures(2);
    EXPECT_EQ(alarm.effective, 200ms);
    EXPECT_EQ(mid.effective, 1000ms);
    EXPECT_LE(alarm.achievedP99, 200ms + 24ms) << "late by one bulk read at most";
    EXPECT_LE(mid.achievedMedian, 1000ms + 24ms);
    EXPECT_GT(bulk.effective, 5s);
    EXPECT_LT(bulk.effective, 6s) << "stretched just enough to fit what is left of the line";
    EXPECT_GE(bulk.achievedMedian, bulk.effective - 50ms);
    EXPECT_TRUE(bulk.missing);
    EXPECT_GE(line.scheduler.Busy(), (line.now - line.t0) * 9 / 10) << "the line kept busy";
    ASSERT_EQ(line.changes.size(), 1u);
    EXPECT_EQ(line.changes[0].scanClass, 2u);
    EXPECT_TRUE(line.changes[0].missing);

    // The bulk's reads get cheap (8 ms): the classes fit again and it recovers, said once.
    std::fill(line.cost.begin() + 24, line.cost.end(), 8ms);
    line.RunUntil(line.now + 60s);
    ASSERT_EQ(line.changes.size(), 2u);
    EXPECT_EQ(line.changes[1].scanClass, 2u);
    EXPECT_FALSE(line.changes[1].missing);
    EXPECT_EQ(line.scheduler.Figures(2).effective, 2500ms);
}

TEST(LineSchedulerTest, AClassAskingMoreThanTheWholeLineStarvesNoOther) {
    // The fast class alone asks 200 % (10 x 20 ms every 100 ms); the slow
    // one block a second, stretched at most kMostStretch times.
    std::vector<std::size_t> classes(10, 0);
    classes.push_back(1);
    FakeLine line({100ms, 1000ms}, classes, std::vector<Clock::duration>(11, 20ms));
    line.RunUntil(line.t0 + 60s);
    const Clock::time_point settled = line.t0 + 10s;
    EXPECT_LE(line.LongestGap(10, settled), 1000ms * LineScheduler::kMostStretch + 40ms);
    EXPECT_GT(line.LongestGap(10, settled), 1000ms) << "the slow class stretched first";
    for (std::size_t b = 0; b < 10; ++b) {
        EXPECT_LE(line.LongestGap(b, settled), 300ms) << "block " << b;
    }
}

TEST(LineSchedulerTest, AJobWaitsForOneReadAtMostAndTheScanGoesOn) {
    // Period 0: the blocks are always due; a job comes every 5 ms.
    FakeLine line({0ms}, {0, 0, 0, 0}, std::vector<Clock::duration>(4, 24ms));
    for (int k = 0; k < 360; ++k) {
        line.jobs.push_back(line.t0 + 5ms * k);
    }
    line.RunUntil(line.t0 + 2s);
    ASSERT_EQ(line.jobWaits.size(), 360u);
    EXPECT_LE(*std::max_element(line.jobWaits.begin(), line.jobWaits.end()), 24ms + 5ms);
    EXPECT_GE(line.reads.size(), 60u) << "the jobs took no more than their share";
}

} // namespace
} // namespace orvgate
