// A commented starter map for orvgate from what a discovery found: every
// region of every secondary that answered, read-only, the secondary's
// address as its Modbus unit.
#pragma once

#include <string>

#include "discovered.h"

namespace orvhost {

// `initFile`: the channel's initialisation file as the map names it
// (relative to the map's directory, or absolute).
std::string StarterMap(const Discovered &found, const std::string &initFile);

} // namespace orvhost
