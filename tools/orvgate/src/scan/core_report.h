// The core's statistics as text, for --stats (SIGUSR1 and the exit): each
// card's state and scan cycle, what became of the writes, and each
// secondary's state, transfers, failures and last error.
#pragma once

#include <string>

#include "scan/gateway.h"

namespace orvgate {

std::string CoreReport(const Gateway &core, Clock::time_point now);

} // namespace orvgate
