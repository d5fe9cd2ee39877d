// The text that describes the cards tiwaysim serves and the controllers
// behind each, and the file that keeps controller memory across runs. Both
// use the same lines (see sim/README.md):
//
//   card C800                  a card at this segment (hex)
//   secondary 1 [defaults]     a controller at 1..31; "defaults" gives it the default regions
//   region 0x01 16 1024 [V]    data-type code, bits per element (8, 16, 32), element count, name
//   value 0x01 100 0x1234 7    data-type code, first element, values of consecutive elements
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "network.h"

namespace tiwaysim {

struct CardPlan {
    std::uint16_t segment = 0;
    Network network;
};

// Reads a configuration: every kind of line is allowed. False with a
// message naming the line on the first error; `cards` then holds nothing
// useful.
bool ReadNetworkConfig(std::istream &in, std::vector<CardPlan> &cards, std::string &error);

// Applies saved memory: only card, secondary and value lines, and only to
// cards, controllers and regions that exist; values for anything else are
// skipped (the configuration may have changed since). False on a malformed line.
bool ApplyMemory(std::istream &in, std::vector<CardPlan> &cards, std::string &error);

// Writes every nonzero run of element values as value lines.
void WriteMemory(std::ostream &out, const std::vector<CardPlan> &cards);

// The card of `segment`, or nullptr.
CardPlan *FindCard(std::vector<CardPlan> &cards, std::uint16_t segment);

} // namespace tiwaysim
