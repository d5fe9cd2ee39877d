// The per-channel initialisation file "OrvTiwNN.int": the card window on
// line 1, one data region definition on each further line.
#pragma once

#include "channel/instance.h"
#include "channel/status.h"

namespace orvtiw {

// 1 when the whole file was read without a fault, else 0. Stores the card
// window once line 1 is parsed and one region per accepted line.
Done ReadInitFile(Instance &inst);

} // namespace orvtiw
