// Any bytes as orvgate's map file: read, every range checked through the
// driver's operations 3 and 4 on two channels without a card (regions of
// kRegionFile), and the scan planned. What passes must be a map the
// gateway can serve: ranges within the block limit and the element
// numbers, no two sharing a Modbus address, and a plan that reads every
// value of every range once a cycle, in blocks of at most 256 bytes.
#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "fuzz/fuzz_support.h"
#include "map/gate_address.h"
#include "map/map_check.h"
#include "map/map_file.h"
#include "scan/scan_plan.h"

using namespace orvgate;
using orvtiw::fuzz::HostChannel;

namespace {

constexpr int kReservedUnit = 247;

std::map<int, std::unique_ptr<HostChannel>> &Channels() {
    static std::map<int, std::unique_ptr<HostChannel>> channels = [] {
        std::map<int, std::unique_ptr<HostChannel>> made;
        for (const int number : {1, 2}) {
            made[number] = std::make_unique<HostChannel>(number);
            orvtiw::host::StartOptions start;
            start.online = false;
            start.initText = orvtiw::fuzz::kRegionFile;
            made[number]->channel.ColdStart(start);
        }
        return made;
    }();
    return channels;
}

orvtiw::host::CheckResult Check(std::int32_t channel, const std::string &address, orvtiw::host::ValueType type,
                                std::int32_t count, bool block) {
    const auto at = Channels().find(channel);
    if (at == Channels().end()) {
        orvtiw::host::CheckResult none;
        none.problem = "no such channel";
        return none;
    }
    orvtiw::host::Channel &c = at->second->channel;
    return block ? c.CheckBlock(address, type, count) : c.Check(address, type, count);
}

void CheckRanges(const std::vector<CheckedRange> &ranges) {
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const CheckedRange &c = ranges[i];
        const RangeLine &r = c.range;
        FUZZ_CHECK(r.unit != kReservedUnit);
        FUZZ_CHECK(r.address + r.Slots() <= 0x10000);
        FUZZ_CHECK(IsBitTable(r.table) == IsBitKind(r.kind));
        FUZZ_CHECK(!r.writable || IsWritableTable(r.table));
        FUZZ_CHECK(c.span.units * c.span.unitBytes <= orvtiw::host::kMaxBlockBytes);
        if (r.kind == ValueKind::Bits) {
            FUZZ_CHECK(c.span.units == 1 && c.firstBit >= 0 && c.firstBit + r.count <= 16);
        } else {
            FUZZ_CHECK(c.span.units == r.count);
            const auto parts = SplitAddress(c.gate.address);
            FUZZ_CHECK(parts.has_value());
            FUZZ_CHECK(parts->element + static_cast<std::uint32_t>(r.count * ElementsPerValue(c.gate)) - 1 <=
                       kMaxElement);
        }
        for (std::size_t j = 0; j < i; ++j) {
            const RangeLine &o = ranges[j].range;
            if (o.unit == r.unit && o.table == r.table) {
                FUZZ_CHECK(o.address + o.Slots() <= r.address || r.address + r.Slots() <= o.address);
            }
        }
    }
}

void CheckPlan(const std::vector<CheckedRange> &ranges, const ScanPlan &plan) {
    FUZZ_CHECK(plan.order.size() == plan.blocks.size());
    FUZZ_CHECK(std::set<std::size_t>(plan.order.begin(), plan.order.end()).size() == plan.blocks.size());
    for (const ScanBlock &b : plan.blocks) {
        FUZZ_CHECK(b.span.units >= 1 && b.span.units * b.span.unitBytes <= orvtiw::host::kMaxBlockBytes);
    }
    FUZZ_CHECK(plan.pieces.size() == ranges.size());
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const NetworkSpan &s = ranges[i].span;
        std::int32_t covered = 0;
        for (const Piece &p : plan.pieces[i]) {
            covered += p.count;
        }
        FUZZ_CHECK(covered == s.units);
        for (std::int32_t v = 0; v < s.units; ++v) {
            const ValuePlace place = PlaceOf(plan.pieces[i], v);
            FUZZ_CHECK(place.block < plan.blocks.size());
            const NetworkSpan &b = plan.blocks[place.block].span;
            FUZZ_CHECK(b.channel == s.channel && b.secondary == s.secondary && b.regionId == s.regionId);
            FUZZ_CHECK(place.offset >= 0 && place.offset < b.units && b.first + place.offset == s.first + v);
        }
    }
}

// A write of part of the first range goes through the range's gate moved
// on; the driver must decode that value's address the same way.
void CheckPartOf(const CheckedRange &c, std::uint8_t pick) {
    if (c.range.kind == ValueKind::Bits || c.range.count < 2) {
        return;
    }
    const std::int32_t offset = pick % c.range.count;
    const orvtiw::host::Gate part = PartOf(c.gate, offset, c.range.count - offset);
    const auto driver = Check(c.range.channel, part.address, c.gate.type, part.count, true);
    FUZZ_CHECK(driver.ok());
    FUZZ_CHECK(driver.gate.decoded.regionId == part.decoded.regionId);
    FUZZ_CHECK(driver.gate.decoded.elementNumber == part.decoded.elementNumber);
    FUZZ_CHECK(driver.gate.decoded.width == part.decoded.width);
    FUZZ_CHECK(driver.gate.decoded.bitNumber == part.decoded.bitNumber);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    orvtiw::fuzz::QuietLog();
    Channels();
    std::istringstream in(std::string(reinterpret_cast<const char *>(data), size));
    std::string error;
    const auto map = ReadMapFile(in, error);
    if (!map) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    const auto ranges = CheckMap(*map, &Check, kReservedUnit, error);
    if (!ranges) {
        FUZZ_CHECK(error.rfind("line ", 0) == 0);
        return 0;
    }
    FUZZ_CHECK(ranges->size() == map->ranges.size());
    CheckRanges(*ranges);
    CheckPlan(*ranges, BuildScanPlan(*ranges));
    CheckPlan(*ranges, BuildScanPlan(*ranges, false));
    if (!ranges->empty()) {
        CheckPartOf(ranges->front(), size > 0 ? data[size - 1] : 0);
    }
    return 0;
}
