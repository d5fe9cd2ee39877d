// The operations that open and close an adapter link for a channel: the
// ones the host reaches through the operation table (11, 12, 13) and the
// opening that cold and warm start share.
#pragma once

#include "channel/status.h"
#include "orvtiw/host_abi.h"

namespace orvtiw {

// Open the device, map the window, reset the adapter: 0, or 2 with the link
// closed again.
Status OpenCom(CallRecord *call);

// Unmap and close whatever is open; always 0 (operation 12).
int CloseCom(CallRecord *call);

// Operation 11: closes the link, 0.
int Stop(CallRecord *call);

// Operation 13: CloseCom then OpenCom; 0 or 2.
int ReopenCom(CallRecord *call);

} // namespace orvtiw
