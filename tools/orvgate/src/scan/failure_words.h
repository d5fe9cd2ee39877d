// A driver failure in a person's words: what it means for the plant, with
// the adapter's or controller's code, for the log and the web view.
#pragma once

#include <string>

#include "orvtiw/host.h"

namespace orvgate {

// "disconnected from the network (MHIU 0x0104)", "the card is not answering".
std::string FailureWords(const orvtiw::host::Failure &failure);

} // namespace orvgate
