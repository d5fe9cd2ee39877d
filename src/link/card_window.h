// The kernel driver device, the mapping of the card window, and the two
// operations that open and close an adapter link.
#pragma once

#include <cstdint>

#include "host/instance.h"

namespace orvtiw {

// 1 when the device opened (the handle is stored in inst.device either way).
int OpenDriver(Instance &inst);
void CloseDriver(Instance &inst);

// The user-mode address of the mapped card window, or nullptr.
std::uint8_t *MapCardMemory(Instance &inst);
void UnmapCardMemory(Instance &inst);

// Open the device, map the window, reset the adapter: 0, or 2 with the link
// closed again.
int OpenCom(CallRecord *call);

// Unmap and close whatever is open; always 0 (operation 12).
int CloseCom(CallRecord *call);

// Operation 11: closes the link, 0.
int Stop(CallRecord *call);

// Operation 13: CloseCom then OpenCom; 0 or 2.
int ReopenCom(CallRecord *call);

} // namespace orvtiw
