// The gateway's one clock for ages, deadlines and retries (monotonic), and
// the wall time its front ends stamp values with.
#pragma once

#include <chrono>
#include <cstdint>

namespace orvgate {

using Clock = std::chrono::steady_clock;

// Milliseconds since the Unix epoch (UTC) of a moment of the gateway's clock.
inline std::uint64_t WallMs(Clock::time_point t) {
    const auto wall = std::chrono::system_clock::now() -
                      std::chrono::duration_cast<std::chrono::system_clock::duration>(Clock::now() - t);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count();
    return ms < 0 ? 0 : static_cast<std::uint64_t>(ms);
}

// Milliseconds of the gateway's clock since its epoch: the steady clock's
// milliseconds, as the edge node's own monotonic clock counts them.
inline std::uint64_t SteadyMs(Clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    return ms < 0 ? 0 : static_cast<std::uint64_t>(ms);
}

inline double Milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

inline double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

} // namespace orvgate
