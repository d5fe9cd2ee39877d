// The size of a region, found by reads at element boundaries: a bisection
// for the last element that reads, between element 1 and the last element
// a gate address can name.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace orvhost {

// Element numbers travel as 16 bits and element 0 does not exist, so a
// bisection over 1..65535 takes at most 1 + 16 reads.
inline constexpr int kMaxSearchReads = 17;

struct SearchOutcome {
    std::uint32_t last = 0; // the last element that reads; 0 when element 1 does not
    int reads = 0;
    bool stopped = false; // a read failed for another reason than the region's end
};

// `readable(e)`: whether a read at element e goes through; nothing when the
// read failed for another reason, which ends the search. The region must
// read up to its end and not past it.
SearchOutcome FindLastReadable(std::uint32_t limit,
                               const std::function<std::optional<bool>(std::uint32_t element)> &readable);

} // namespace orvhost
