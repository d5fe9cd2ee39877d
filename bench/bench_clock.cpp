#include "bench_clock.h"

#include <sys/resource.h>
#include <time.h>

namespace orvbench {

double UsSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

double ProcessCpuUs() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
}

void SleepOneMs() {
    timespec wait{0, 1000000L};
    while (nanosleep(&wait, &wait) != 0) {
    }
}

double TimedSleepUs() {
    const auto t0 = Clock::now();
    SleepOneMs();
    return UsSince(t0);
}

} // namespace orvbench
