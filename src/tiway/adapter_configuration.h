// The adapter's configuration: a fixed sequence of four commands that cold
// and warm start send once the link is open.
#pragma once

#include <cstdint>

#include "orvtiw/host_abi.h"

namespace orvtiw {

inline constexpr std::uint32_t kConfigurePauseMs = 5000;

// Sends the fixed configuration sequence: 0 complete, -1 link failure (the
// failed exchange's result), 2 rejected by the adapter (CheckReply's).
int ConfigureAdapter(CallRecord *call);

} // namespace orvtiw
