// Discovery on a started channel: which secondaries answer, and how large
// each region of each one is, through the driver's own operations only
// (address checks and block reads of one element).
#pragma once

#include <ostream>
#include <vector>

#include "discovered.h"
#include "orvtiw/host.h"

namespace orvhost {

// Runs discovery of `secondaries` (1..31), printing a row for each region
// of each secondary that answers as it is found, and the summary: the
// exchanges it made with the card and how long it took. False when the
// card stopped answering or a secondary dropped off during it; `found`
// then holds what was found before.
bool Discover(orvtiw::host::Channel &channel, const std::vector<int> &secondaries, std::ostream &out,
              std::ostream &errors, Discovered &found);

} // namespace orvhost
