// The scan plan: which block reads the scan makes, and the scan classes
// they are read in. Ranges of one class, secondary and region whose values
// touch or overlap become one read of up to 256 bytes (bits of one word
// share the word's read); ranges of different classes never share a read, so
// that a fast value never waits for a slow block to be read with it. Each
// channel's blocks are read by that card's own thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/clock.h"
#include "map/gate_map.h"

namespace orvgate {

// A scan class as the scan uses it: class 0 is the default (--scan-period,
// --max-age), class k the map's k-th `class` line.
struct ScanClass {
    std::string name;
    Clock::duration period{0};
    Clock::duration ceiling{0}; // the oldest a value of the class is served as good
};

// A class's ceiling, unless the map gives one: this many periods, and never
// less than --max-age, so that a read that comes a little late does not
// take its values away.
constexpr int kCeilingPeriods = 3;

std::vector<ScanClass> ScanClasses(const std::vector<ClassLine> &lines, Clock::duration scanPeriod,
                                   Clock::duration maxAge);

struct ScanBlock {
    NetworkSpan span;    // what one read covers
    std::string address; // the gate address of its first value, for the driver's check
    orvtiw::host::ValueType checkType = orvtiw::host::ValueType::UInt16;
    std::size_t scanClass = 0;
};

// A run of a range's values that lies in one block.
struct Piece {
    std::size_t block = 0;
    std::int32_t blockOffset = 0; // first value within the block
    std::int32_t rangeOffset = 0; // first value within the range's span
    std::int32_t count = 0;
};

struct ScanPlan {
    std::vector<ScanBlock> blocks;
    std::vector<std::vector<Piece>> pieces; // per checked range, in value order
    std::vector<std::size_t> order;         // block indices in the order of a cycle, channel by channel

    // The blocks one channel's cycle reads, in order.
    std::vector<std::size_t> BlocksOf(std::int32_t channel) const;
};

// Coalescing, or one block per range (`coalesce` false: the naive scan,
// kept for comparison).
ScanPlan BuildScanPlan(const std::vector<CheckedRange> &ranges, bool coalesce = true);

// Where value `offset` of a range's span lies: the block and its place in
// it; a block past every block when the pieces do not hold it, which the
// cache serves nothing for.
struct ValuePlace {
    std::size_t block = static_cast<std::size_t>(-1);
    std::int32_t offset = 0;
};
ValuePlace PlaceOf(const std::vector<Piece> &pieces, std::int32_t offset);

} // namespace orvgate
