// How the raw element values the driver reads stand in Modbus registers and
// coils, per value kind and word order, and back.
#pragma once

#include <cstdint>

#include "map/gate_map.h"

namespace orvgate {

// Register `half` (0 or 1; always 0 for 16-bit kinds) of a raw value.
std::uint16_t RegisterOf(ValueKind kind, WordOrder order, std::uint32_t raw, int half);

// The raw 32-bit value of two consecutive registers, first the lower address.
std::uint32_t RawOfRegisters(WordOrder order, std::uint16_t first, std::uint16_t second);

} // namespace orvgate
