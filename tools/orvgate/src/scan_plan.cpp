#include "scan_plan.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "gate_address.h"

namespace orvgate {
namespace {

// Ranges read together: one channel, secondary and region, and in a double
// region one parity of the first element (values of the other parity start
// half a value away).
using SpanKey = std::tuple<std::int32_t, std::int32_t, std::int32_t>;

SpanKey KeyOf(const NetworkSpan &s) {
    return {s.channel, s.secondary, s.regionId};
}

struct Interval {
    std::int32_t first;
    std::int32_t end; // one past the last
    std::int32_t unitBytes;
    std::size_t range; // a range that lies in it, for its address
};

// The address of value `first` of the region a checked range reads.
std::string AddressAt(const CheckedRange &c, std::int32_t first) {
    AddressParts parts = SplitAddress(c.gate.address).value_or(AddressParts{});
    const std::int32_t perValue = ElementsPerValue(c.gate);
    const std::int32_t delta = (first - c.gate.decoded.elementNumber) * perValue;
    parts.element = static_cast<std::uint32_t>(static_cast<std::int32_t>(parts.element) + delta);
    parts.bit = -1;
    return FormatAddress(parts);
}

orvtiw::host::ValueType ReadType(std::int32_t unitBytes) {
    // Operation 4 takes 16-bit types in a word region and any type in the others.
    return unitBytes == 4 ? orvtiw::host::ValueType::UInt32 : orvtiw::host::ValueType::UInt16;
}

void AddBlocks(const std::vector<CheckedRange> &ranges, const Interval &run, ScanPlan &plan) {
    const std::int32_t most = orvtiw::host::kMaxBlockBytes / run.unitBytes;
    for (std::int32_t first = run.first; first < run.end; first += most) {
        const CheckedRange &c = ranges[run.range];
        ScanBlock block;
        block.span = c.span;
        block.span.first = first;
        block.span.units = std::min(most, run.end - first);
        block.span.unitBytes = run.unitBytes;
        block.address = AddressAt(c, first);
        block.checkType = ReadType(run.unitBytes);
        plan.blocks.push_back(std::move(block));
    }
}

} // namespace

ValuePlace PlaceOf(const std::vector<Piece> &pieces, std::int32_t offset) {
    for (const Piece &p : pieces) {
        if (offset >= p.rangeOffset && offset < p.rangeOffset + p.count) {
            return {p.block, p.blockOffset + (offset - p.rangeOffset)};
        }
    }
    return {};
}

ScanPlan BuildScanPlan(const std::vector<CheckedRange> &ranges, bool coalesce) {
    ScanPlan plan;
    std::map<SpanKey, std::vector<Interval>> groups;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const NetworkSpan &s = ranges[i].span;
        const Interval one{s.first, s.first + s.units, s.unitBytes, i};
        if (coalesce) {
            groups[KeyOf(s)].push_back(one);
        } else {
            AddBlocks(ranges, one, plan);
        }
    }
    for (auto &[key, intervals] : groups) {
        std::sort(intervals.begin(), intervals.end(),
                  [](const Interval &a, const Interval &b) { return a.first < b.first; });
        Interval run = intervals.front();
        for (std::size_t i = 1; i < intervals.size(); ++i) {
            if (intervals[i].first <= run.end) {
                run.end = std::max(run.end, intervals[i].end);
            } else {
                AddBlocks(ranges, run, plan);
                run = intervals[i];
            }
        }
        AddBlocks(ranges, run, plan);
    }

    // Each range's values, block by block. Without coalescing a range's own
    // block is the one made for it; with it, the blocks of its key.
    plan.pieces.resize(ranges.size());
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const NetworkSpan &s = ranges[i].span;
        for (std::size_t b = 0; b < plan.blocks.size(); ++b) {
            const NetworkSpan &bs = plan.blocks[b].span;
            if (KeyOf(bs) != KeyOf(s) || (!coalesce && b != i)) {
                continue;
            }
            const std::int32_t from = std::max(s.first, bs.first);
            const std::int32_t to = std::min(s.first + s.units, bs.first + bs.units);
            if (from < to) {
                plan.pieces[i].push_back(Piece{b, from - bs.first, from - s.first, to - from});
            }
        }
        std::sort(plan.pieces[i].begin(), plan.pieces[i].end(),
                  [](const Piece &a, const Piece &b) { return a.rangeOffset < b.rangeOffset; });
    }

    // In turn: the first block of every channel, then the second of every
    // channel, and so on.
    std::map<std::int32_t, std::vector<std::size_t>> byChannel;
    std::map<std::pair<std::int32_t, std::int32_t>, bool> probed;
    for (std::size_t b = 0; b < plan.blocks.size(); ++b) {
        const NetworkSpan &s = plan.blocks[b].span;
        byChannel[s.channel].push_back(b);
        bool &seen = probed[{s.channel, s.secondary}];
        plan.blocks[b].probe = !seen;
        seen = true;
    }
    for (std::size_t round = 0;; ++round) {
        bool any = false;
        for (const auto &[channel, blocks] : byChannel) {
            if (round < blocks.size()) {
                plan.order.push_back(blocks[round]);
                any = true;
            }
        }
        if (!any) {
            break;
        }
    }
    return plan;
}

} // namespace orvgate
