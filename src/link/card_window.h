// The kernel driver device and the mapping of the card window.
#pragma once

#include <cstdint>

#include "channel/instance.h"
#include "channel/status.h"

namespace orvtiw {

// 1 when the device opened (the handle is stored in inst.device either way).
Done OpenDriver(Instance &inst);
void CloseDriver(Instance &inst);

// The user-mode address of the mapped card window, or nullptr.
std::uint8_t *MapCardMemory(Instance &inst);
void UnmapCardMemory(Instance &inst);

} // namespace orvtiw
