// The parts of the benchmark that hold no timing of their own: sample
// statistics, the short mode's verdict, the simulated network it reads and
// the modelled line time. The tiwaysim it starts is a tiwaysim::SimProcess.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvbench {

// Order statistics of a set of samples (any unit).
struct Summary {
    std::size_t n = 0;
    double min = 0;
    double median = 0;
    double p99 = 0;
    double max = 0;
    double mean = 0;
};

// Nearest-rank percentiles: each is a sample that was actually seen, never a
// value interpolated between two.
Summary Summarize(std::vector<double> samples);

// Least-squares line y = intercept + slope * x, with its coefficient of
// determination.
struct LineFit {
    double slope = 0;
    double intercept = 0;
    double r2 = 0;
};
LineFit FitLine(const std::vector<double> &x, const std::vector<double> &y);

// What the short mode judges: a gross regression, not a missed target.
struct ShortLimits {
    double maxExchangeOverFloor = 3.0; // median exchange against the median 1 ms sleep
    double maxCpuShare = 0.20;         // host CPU (user + system) per exchange against its wall time
};

// One kind of exchange as the short mode saw it.
struct ExchangeFigures {
    std::string name;
    double medianUs = 0;
    double cpuUsPerExchange = 0;
    double wallUsPerExchange = 0;
};

// The reasons the run fails; empty when it passes. A floor that was not
// measured fails too, since nothing could be judged against it.
std::vector<std::string> JudgeShortRun(double floorMedianUs, const std::vector<ExchangeFigures> &exchanges,
                                       const ShortLimits &limits = {});

// The value the benchmark network holds in element `element` (1-based) of
// region V of secondary `secondary` behind card number `card` (0-based);
// every read is checked against it.
std::uint16_t ExpectedWord(int card, int secondary, int element);

// The segment of card number `card`: one 4 KiB page apart from C800 on, so
// no two windows share a page.
std::uint16_t CardSegment(int card);

// tiwaysim's network description: `cards` cards, each with secondaries
// 1..`secondaries` holding the default regions, and the first `words`
// elements of V of every secondary filled with ExpectedWord.
std::string NetworkConfigText(int cards, int secondaries, int words);

// The initialisation file of a channel whose card is number `card`.
std::string InitFileText(int card);

// Microseconds that `bytes` bytes take on a line of `bitsPerSecond`, at
// eight bits a byte.
double LineTimeUs(std::size_t bytes, double bitsPerSecond);

} // namespace orvbench
