// Connects and closes of Modbus clients, told once a minute rather than one
// line each: a client that connects for every poll would otherwise fill the
// log. The lines of each are kept for --verbose. Pure: the server passes the
// time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/clock.h"

namespace orvgate {

class ConnectionSummary {
  public:
    static constexpr auto kPeriod = std::chrono::minutes(1);

    explicit ConnectionSummary(Clock::time_point now) : periodStart_(now) {}
    void Connected() {
        ++connected_;
    }
    void Closed() {
        ++closed_;
    }
    // The line for the minute that ended, once it has, when anything
    // happened in it; the counting then starts again.
    std::optional<std::string> Due(Clock::time_point now, std::size_t open);

  private:
    Clock::time_point periodStart_;
    std::uint64_t connected_ = 0;
    std::uint64_t closed_ = 0;
};

} // namespace orvgate
