// Splitting a text line into fields and reading bounded numbers from them:
// the one reading of the line-based texts, shared by the simulator (its
// network description, memory and control texts) and the gateway (its map).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvtiw::text {

// The whitespace-separated fields of `line`, up to a '#' that starts a comment.
std::vector<std::string_view> SplitFields(std::string_view line);

// A decimal number, or hexadecimal with 0x; nothing when it is not a number
// or exceeds `max`.
std::optional<std::uint32_t> ParseNumber(std::string_view text, std::uint32_t max);

// A hexadecimal number with or without 0x (segments are always written in hex).
std::optional<std::uint32_t> ParseHex(std::string_view text, std::uint32_t max);

// "on"/"off" (also 1/0, true/false).
std::optional<bool> ParseSwitch(std::string_view text);

} // namespace orvtiw::text
