// The table of handlers indexed by operation code.
#pragma once

#include "orvtiw/host_abi.h"

namespace orvtiw {

using Handler = int (*)(CallRecord *call);

inline constexpr int kOperationCount = 16;
using OperationTable = Handler[kOperationCount];

extern const OperationTable kOperationTable;

// What OrvMain does: checks the operation code and the pointers, then runs
// the handler of the operation and returns its status.
int Dispatch(CallRecord *call);

} // namespace orvtiw
