#include "scan/scan_plan.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "map/gate_address.h"

namespace orvgate {
namespace {

// Ranges read together: one class, channel, secondary and region, and in a
// double region one parity of the first element (values of the other parity
// start half a value away).
using SpanKey = std::tuple<std::size_t, std::int32_t, std::int32_t, std::int32_t>;

SpanKey KeyOf(std::size_t scanClass, const NetworkSpan &s) {
    return {scanClass, s.channel, s.secondary, s.regionId};
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
        block.scanClass = c.range.scanClass;
        plan.blocks.push_back(std::move(block));
    }
}

} // namespace

std::vector<ScanClass> ScanClasses(const std::vector<ClassLine> &lines, Clock::duration scanPeriod,
                                   Clock::duration maxAge) {
    std::vector<ScanClass> out{ScanClass{"default", scanPeriod, maxAge}};
    for (const ClassLine &l : lines) {
        const Clock::duration ceiling = l.maxAge.count() > 0
                                            ? Clock::duration(l.maxAge)
                                            : std::max<Clock::duration>(maxAge, l.period * kCeilingPeriods);
        out.push_back(ScanClass{l.name, l.period, ceiling});
    }
    return out;
}

std::vector<std::size_t> ScanPlan::BlocksOf(std::int32_t channel) const {
    std::vector<std::size_t> out;
    for (const std::size_t b : order) {
        if (blocks[b].span.channel == channel) {
            out.push_back(b);
        }
    }
    return out;
}

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
            groups[KeyOf(ranges[i].range.scanClass, s)].push_back(one);
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
            if (KeyOf(plan.blocks[b].scanClass, bs) != KeyOf(ranges[i].range.scanClass, s) || (!coalesce && b != i)) {
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

    // Channel by channel, each in the order its blocks were made.
    for (std::size_t b = 0; b < plan.blocks.size(); ++b) {
        plan.order.push_back(b);
    }
    std::stable_sort(plan.order.begin(), plan.order.end(), [&](std::size_t a, std::size_t b) {
        return plan.blocks[a].span.channel < plan.blocks[b].span.channel;
    });
    return plan;
}

} // namespace orvgate
