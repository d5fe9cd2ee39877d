#include "modbus/connection_summary.h"

namespace orvgate {

std::optional<std::string> ConnectionSummary::Due(Clock::time_point now, std::size_t open) {
    if (now < periodStart_ + kPeriod) {
        return std::nullopt;
    }
    const double seconds = Seconds(now - periodStart_);
    const std::uint64_t connected = connected_;
    const std::uint64_t closed = closed_;
    periodStart_ = now;
    connected_ = 0;
    closed_ = 0;
    if (connected == 0 && closed == 0) {
        return std::nullopt;
    }
    return "Modbus clients in the last " + std::to_string(static_cast<long>(seconds + 0.5)) +
           " s: " + std::to_string(connected) + " connected, " + std::to_string(closed) + " closed, " +
           std::to_string(open) + " open now";
}

} // namespace orvgate
