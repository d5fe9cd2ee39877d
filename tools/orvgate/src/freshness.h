// How old a value may be and still be served: --max-age when given, else
// three scan cycles, taking the median of the last cycles so that one long
// cycle (a recovery, a burst of writes) neither shortens nor stretches it at
// once, and never less than half a second, so that a scan of a few
// milliseconds does not turn every write that holds it up for a moment into
// exceptions. Written by the driver thread at the end of each cycle, read by
// the server for every request.
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

    explicit Freshness(std::optional<Clock::duration> fixed = std::nullopt);

    void CycleDone(Clock::duration cycle); // driver thread only

    // The age allowed now. Until the first cycle ends, a value is served
    // whatever its age (it can be no older than the gateway's scan).
    Clock::duration MaxAge() const;
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
    std::atomic<std::uint64_t> cycles_{0};
};

} // namespace orvgate
