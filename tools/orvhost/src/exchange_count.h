// How many exchanges with the card one driver call made, judged by the
// formats of the lines it logged: a success logs nothing, but every failed
// attempt and every reconnection does, and the driver's attempts follow a
// fixed pattern.
#pragma once

#include "orvtiw/host.h"

namespace orvhost {

// An address check connects the secondary it names the first time one of
// its addresses is accepted: one exchange then, none otherwise.
int CheckExchanges(const orvtiw::host::Result &check, bool firstOfSecondary);

// A read: each attempt is one exchange, and a reply that reports an error
// adds the reconnection's.
int ReadExchanges(const orvtiw::host::Result &read);

} // namespace orvhost
