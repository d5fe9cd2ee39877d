// Operations 1 and 2: bring a channel from raw host memory to a working
// adapter link, and recover a running one.
#pragma once

#include <cstdint>

#include "orvtiw/host_abi.h"

namespace orvtiw {

inline constexpr std::int32_t kMinimumTimeoutUnits = 100;

// 0, or 2 when the link fails to open.
int ColdStart(CallRecord *call);

// 2 when the link fails to reopen; else the reconnection's 0 when the named
// secondary is in use, or the ConfigureAdapter result.
int WarmStart(CallRecord *call);

} // namespace orvtiw
