// What each scan class asks of its card's line, judged before any read
// (`--check`): a read's time on the line from its size at a line rate, the
// same model the scheduler's measured times replace once it runs.
#pragma once

#include <string>
#include <vector>

#include "scan/scan_plan.h"

namespace orvgate {

// The line rate assumed where none is measured: 115.2 kbaud, the fastest a
// TIWAY line runs, carries 92160 bits of data a second.
inline constexpr double kAssumedLineRate = 92160;

// One read's time on the line: its data and about 16 bytes of the
// exchange's own, at `bitsPerSecond`, and up to 1 ms for the driver's poll
// (a 128-word read: 24.6 ms, a one-word read 2.6 ms at 92160 bit/s).
Clock::duration LineTimeOf(const ScanBlock &block, double bitsPerSecond);

// Per channel and class: its reads, their line time, its period and the
// share of the line it asks; then whether the classes fit and, if not,
// what stretches.
std::string ClassPlanReport(const ScanPlan &plan, const std::vector<ScanClass> &classes, double bitsPerSecond);

} // namespace orvgate
