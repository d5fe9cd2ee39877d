// Operations 3 and 4: validate a gate address text such as 01V0064 against
// the channel's regions and decode it into the host's AddressRecord.
#pragma once

#include "orvtiw/host_abi.h"

namespace orvtiw {

// 0 accepted, 1 refused.
int SingleAddressParser(CallRecord *call);
int BlockAddressParser(CallRecord *call);

} // namespace orvtiw
