// The primary host's STATE message: JSON {"online": bool, "timestamp": ms}.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace orvgate::mqtt {

struct HostState {
    bool online = false;
    std::uint64_t timestampMs = 0;
};

inline constexpr std::size_t kMaxStateBytes = 4096;

// The state a STATE payload gives, or nothing for one that is not a JSON
// object with a boolean "online" and a non-negative integer "timestamp"
// (other members are skipped; nesting deeper than 16 levels, or a payload
// longer than kMaxStateBytes, is refused).
std::optional<HostState> ParseHostState(std::string_view json);

} // namespace orvgate::mqtt
