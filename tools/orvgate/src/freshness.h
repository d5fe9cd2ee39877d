// How old a value may be and still be served: --max-age when given, else
// three scan cycles. The cycle is the longest of the median of the last
// cycles, the last one, and the one under way while the driver thread is
// making progress: a scan slowed by a burst of writes is followed at once,
// a single short cycle does not shorten it, and a driver call that hangs
// (a card that does not answer) does not stretch it, so the values it holds
// up go stale. A value is never held stale younger than half a second, so
// that a scan of a few milliseconds does not turn every moment's hold-up
// into exceptions. Written by the driver thread, read by the server for
// every request.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <optional>

#include "value_cache.h"

namespace orvgate {

class Freshness {
  public:
    static constexpr int kCycles = 3;         // the default age, in scan cycles
    static constexpr std::size_t kWindow = 8; // cycles the median is taken over
    static constexpr Clock::duration kLeast = std::chrono::milliseconds(500);
    // A driver thread that finished no call for this long is not making progress.
    static constexpr Clock::duration kStalled = kLeast;

    explicit Freshness(std::optional<Clock::duration> fixed = std::nullopt);

    // Driver thread only.
    void CycleStarted(Clock::time_point when);
    void CycleDone(Clock::duration cycle);
    void CallDone(Clock::time_point when);

    // The age allowed at `now`. Until the first cycle ends, a value is
    // served whatever its age (it can be no older than the gateway's scan).
    Clock::duration MaxAge(Clock::time_point now) const;
    Clock::duration LastCycle() const;
    Clock::duration MedianCycle() const;
    std::uint64_t Cycles() const;

  private:
    std::optional<Clock::duration> fixed_;
    std::array<Clock::duration::rep, kWindow> window_{};
    std::size_t filled_ = 0;
    std::size_t next_ = 0;
    std::atomic<Clock::duration::rep> median_{0};
    std::atomic<Clock::duration::rep> last_{0};
    std::atomic<Clock::duration::rep> cycleStart_{0}; // time since the clock's epoch
    std::atomic<Clock::duration::rep> lastCall_{0};
    std::atomic<std::uint64_t> cycles_{0};
};

} // namespace orvgate
