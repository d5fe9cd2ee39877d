// The check of a host's TransferRecord before any exchange: the driver's
// buffers and the host's are sized by it, so a record the address parser
// could never have produced is refused rather than trusted.
#pragma once

#include "channel/instance.h"
#include "channel/status.h"

namespace orvtiw {

enum class TransferUse { Read, Write };

// 0 when the record can be served; 1 after logging why it cannot.
Status CheckTransferRecord(const Instance &inst, const TransferRecord &record, TransferUse use);

} // namespace orvtiw
