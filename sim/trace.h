// One decoded line per exchange, for people watching the card work.
#pragma once

#include <string>

#include "card.h"

namespace tiwaysim {

// E.g. "prim sec 1 read V(01) elem 100 count 1 -> kind 1 ok data 1234".
std::string DescribeExchange(const Exchange &e);

} // namespace tiwaysim
