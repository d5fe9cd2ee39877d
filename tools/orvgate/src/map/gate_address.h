// Gate address texts as the gateway makes and reads them, and the gates of
// part of a checked block. The driver remains the judge of every address:
// these only compose texts of the accepted form and read back the element a
// text names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "orvtiw/host.h"

namespace orvgate {

inline constexpr std::uint32_t kMaxElement = 0xFFFF;

struct AddressParts {
    std::int32_t secondary = 0;
    char letter = 0;
    std::uint32_t element = 0; // as the controller numbers it
    int bit = -1;              // -1: none
};

// The parts of a well-formed address text (7 or 8 characters), or nothing.
std::optional<AddressParts> SplitAddress(std::string_view text);
// "01V0064", or "01V00645" with a bit.
std::string FormatAddress(const AddressParts &parts);

// Controller elements one decoded value spans: 2 in a double region (whose
// decoded element numbers count 32-bit values), else 1. Told apart by
// comparing the element the text names with the one the driver decoded.
std::int32_t ElementsPerValue(const orvtiw::host::Gate &gate);

// The gate of `count` values starting `offset` values into a checked block
// gate, as operation 4 would decode the address of that first value: the
// decoded element moves on by `offset` (which keeps a double region's
// odd-element flag), the text with it. For writes of part of a range.
orvtiw::host::Gate PartOf(const orvtiw::host::Gate &block, std::int32_t offset, std::int32_t count);

} // namespace orvgate
