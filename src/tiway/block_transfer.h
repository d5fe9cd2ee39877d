// Operations 5, 6, 7 and 10: read and write single gates and blocks of one
// secondary, with three attempts and the reconnection after an error reply.
#pragma once

#include "orvtiw/host_abi.h"

namespace orvtiw {

inline constexpr int kTransferAttempts = 3;

int ReadGate(CallRecord *call);   // 0, 1 (no card or bad record), 2
int ReadBlock(CallRecord *call);  // 0, 1 (bad record), 2
int WriteGate(CallRecord *call);  // 0, 1, 2
int WriteBlock(CallRecord *call); // 0, 1, 2

} // namespace orvtiw
