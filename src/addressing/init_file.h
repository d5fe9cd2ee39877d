// The per-channel initialisation file "OrvTiwNN.int": the card window on
// line 1, one data region definition on each further line.
#pragma once

#include "host/instance.h"

namespace orvtiw {

// 1 when the whole file was read without a fault, else 0. Stores the card
// window once line 1 is parsed and one region per accepted line.
int ReadInitFile(Instance &inst);

} // namespace orvtiw
