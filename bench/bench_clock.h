// The clocks both benchmarks read: wall time, the process's CPU time and
// the 1 ms pause that is every exchange's floor.
#pragma once

#include <chrono>

namespace orvbench {

using Clock = std::chrono::steady_clock;

// Microseconds from `t0` to now.
double UsSince(Clock::time_point t0);

// User + system CPU time of this process so far, in microseconds.
double ProcessCpuUs();

// The driver's own poll pause, as platform_posix.cpp makes it.
void SleepOneMs();

// That pause, timed, in microseconds.
double TimedSleepUs();

} // namespace orvbench
