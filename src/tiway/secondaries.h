// Connecting secondaries (controllers 1..31) to the adapter, and restoring
// the connections of the secondaries in use after a warm start.
#pragma once

#include <cstdint>

#include "channel/instance.h"

namespace orvtiw {

// Connect statuses.
inline constexpr int kConnected = 0;
inline constexpr int kConnectedOther = 1; // the reply names another secondary

// 0 when the adapter connected `address`; -1 failed exchange, 2 error reply,
// 1 the reply names another secondary.
int ConnectSecondary(Instance &inst, std::uint8_t address);

// Connects every secondary in use that the adapter does not list. Always 0.
int ReconnectSecondarys(Instance &inst);

} // namespace orvtiw
