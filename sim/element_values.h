// The values of a `value` line (configuration, kept memory, control) and the
// answer of the `read` control command: element values as texts.
//
// A whole number (decimal, or hexadecimal with 0x) fills one element. A
// number with a decimal point or an exponent (21.5, -2e3) is a 32-bit float:
// one element of a 32-bit region, or two consecutive elements of a 16-bit
// region, high word first, as a host reads a value of a double region.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "controller.h"

namespace tiwaysim {

// The element values `texts` give `region`, in order; nothing, with
// `problem` naming the text, when one does not fit its element.
std::optional<std::vector<std::uint32_t>> ParseElementValues(std::span<const std::string_view> texts,
                                                             const Region &region, std::string &problem);

// `count` values from element `first` on, which must exist: hexadecimal
// with the element's width (0x0A, 0x1234, 0x12345678), or with `asFloat`
// 32-bit floats, each one element of a 32-bit region or two of a 16-bit one.
std::string FormatElementValues(const Region &region, std::uint32_t first, std::uint32_t count, bool asFloat);

// Elements one value takes: 2 for a float in a 16-bit region, else 1.
std::uint32_t ElementsPerValue(const Region &region, bool asFloat);

} // namespace tiwaysim
