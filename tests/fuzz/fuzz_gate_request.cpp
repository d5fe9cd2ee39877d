// Any bytes as what Modbus clients send orvgate: framed as the server
// frames them, decoded, and routed by the map's router (against a cache
// whose blocks are partly withdrawn, refused or old) or by the transparent
// default's, down to the jobs the card threads would take. The first byte
// chooses the router and the cache's state; the rest is requests, one
// after another, as long as they frame.
//
// A reply fills exactly the entries its request names, each with what the
// cache holds for it; an exception is one the gateway gives; a job is a
// write of whole values to writable ranges (or a transparent transfer
// within the region's elements), and nothing else.
#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "map/gate_address.h"
#include "map/map_check.h"
#include "map/map_file.h"
#include "modbus/mbap_stream.h"
#include "modbus/request_router.h"
#include "modbus/transparent.h"
#include "modbus/value_codec.h"
#include "scan/scan_plan.h"
#include "scan/values.h"

using namespace orvgate;
using orvtiw::fuzz::HostChannel;

namespace {

// Every kind of range, in the regions of kRegionFile: D double, K words,
// S discrete, W 32-bit; V, X and Y as predefined.
constexpr char kMap[] = "channel 1 fuzz.int\n"
                        "holding 1 0 01V0001 8 int16 rw\n"
                        "holding 1 8 01K0010 4 uint16\n"
                        "holding 1 20 01D0007 3 float high-first rw\n"
                        "holding 1 26 01W0002 2 uint32 low-first rw\n"
                        "input 1 0 01V0001 8 uint16\n"
                        "input 1 100 01D0008 2 int32 high-first\n"
                        "coils 1 0 01V00643 5 bits rw\n"
                        "coils 1 5 01Y0001 20 points rw\n"
                        "discrete 1 0 01S0001 9 points\n"
                        "holding 2 65530 02V0100 6 int16 rw\n";

struct Fixture {
    std::unique_ptr<HostChannel> channel;
    std::vector<CheckedRange> ranges;
    ScanPlan plan;
    std::unique_ptr<ValueCache> cache;
    Clock::time_point now = Clock::now();

    Fixture() {
        channel = std::make_unique<HostChannel>(1);
        orvtiw::host::StartOptions start;
        start.online = false;
        start.initText = orvtiw::fuzz::kRegionFile;
        channel->channel.ColdStart(start);
        std::istringstream in(kMap);
        std::string error;
        const auto map = ReadMapFile(in, error);
        FUZZ_CHECK(map.has_value());
        auto checked = CheckMap(
            *map,
            [this](std::int32_t, const std::string &address, orvtiw::host::ValueType type, std::int32_t count,
                   bool block) {
                return block ? channel->channel.CheckBlock(address, type, count)
                             : channel->channel.Check(address, type, count);
            },
            247, error);
        FUZZ_CHECK(checked.has_value());
        ranges = std::move(*checked);
        plan = BuildScanPlan(ranges);
        std::vector<std::int32_t> sizes;
        for (const ScanBlock &b : plan.blocks) {
            sizes.push_back(b.span.units);
        }
        cache = std::make_unique<ValueCache>(sizes);
    }
};

Fixture &Shared() {
    static Fixture fixture;
    return fixture;
}

// What the cache holds for a value, so that a reply can be checked.
std::uint32_t RawAt(std::size_t block, std::int32_t offset) {
    return static_cast<std::uint32_t>(block * 0x9E3779B1u) ^ (static_cast<std::uint32_t>(offset) * 0x85EBCA77u);
}

// Each block fresh, too old, or withdrawn (unavailable or refused), as the state byte says.
void SetCache(Fixture &f, std::uint8_t state) {
    for (std::size_t b = 0; b < f.plan.blocks.size(); ++b) {
        std::vector<std::uint32_t> values(static_cast<std::size_t>(f.plan.blocks[b].span.units));
        for (std::size_t i = 0; i < values.size(); ++i) {
            values[i] = RawAt(b, static_cast<std::int32_t>(i));
        }
        const int how = (state >> (b % 4 * 2)) & 3;
        f.cache->Store(b, values, how == 2 ? f.now - std::chrono::seconds(1) : f.now);
        if (how == 3) {
            f.cache->Withdraw(b, b % 2 == 0 ? Availability::Refused : Availability::Unavailable);
        }
    }
}

struct Tables4 {
    std::array<std::uint8_t, 0x10000> coils;
    std::array<std::uint8_t, 0x10000> discrete;
    std::array<std::uint16_t, 0x10000> holding;
    std::array<std::uint16_t, 0x10000> input;
    void Fill() {
        coils.fill(0xEE);
        discrete.fill(0xEE);
        holding.fill(0xEEEE);
        input.fill(0xEEEE);
    }
    Tables View() {
        return Tables{coils, discrete, holding, input};
    }
};

// The range that holds a Modbus address, found without the router's index.
const CheckedRange *RangeAt(const Fixture &f, int unit, Table table, std::uint32_t address, std::size_t &index) {
    for (std::size_t i = 0; i < f.ranges.size(); ++i) {
        const RangeLine &r = f.ranges[i].range;
        if (r.unit == unit && r.table == table && address >= r.address && address < r.address + r.Slots()) {
            index = i;
            return &f.ranges[i];
        }
    }
    return nullptr;
}

void CheckReply(const Fixture &f, const Request &r, Tables4 &t) {
    FUZZ_CHECK(!IsWrite(r.function));
    const Table table = TableOf(r.function);
    for (std::uint32_t a = 0; a < 0x10000; ++a) {
        const bool named = a >= r.address && a < static_cast<std::uint32_t>(r.address) + r.count;
        const bool bits = IsBitTable(table);
        const std::uint32_t got = table == Table::Coils              ? t.coils[a]
                                  : table == Table::DiscreteInputs   ? t.discrete[a]
                                  : table == Table::HoldingRegisters ? t.holding[a]
                                                                     : t.input[a];
        if (!named) {
            FUZZ_CHECK(got == (bits ? 0xEEu : 0xEEEEu));
            continue;
        }
        std::size_t index = 0;
        const CheckedRange *c = RangeAt(f, r.unit, table, a, index);
        FUZZ_CHECK(c != nullptr);
        const std::uint32_t slot = a - c->range.address;
        const auto value =
            c->range.kind == ValueKind::Bits ? 0 : static_cast<std::int32_t>(slot / SlotsPerValue(c->range.kind));
        const ValuePlace place = PlaceOf(f.plan.pieces[index], value);
        const std::uint32_t raw = RawAt(place.block, place.offset);
        const std::uint32_t expected =
            bits ? PointOfElement(c->range.kind, c->firstBit, static_cast<std::int32_t>(slot), raw)
                 : RegisterOf(c->range.kind, c->range.order, raw, static_cast<int>(slot % 2));
        FUZZ_CHECK(got == expected);
    }
}

void CheckJob(const Fixture &f, const Request &r, const Job &job, bool transparent) {
    FUZZ_CHECK(IsWrite(r.function) || transparent);
    if (transparent) {
        FUZZ_CHECK(!job.transfers.empty() && job.writes.empty() && job.channel == kTransparentChannel);
        const char letter = LetterOf(r.function);
        const std::int32_t most = letter == 'X' || letter == 'Y' ? 256 : 128;
        std::uint32_t element = r.address + 1u;
        for (const DriverTransfer &t : job.transfers) {
            const std::optional<AddressParts> parts = SplitAddress(t.address);
            FUZZ_CHECK(parts.has_value() && parts->secondary == r.unit && t.secondary == r.unit);
            FUZZ_CHECK(r.unit >= 1 && r.unit <= 31 && parts->letter == letter && parts->element == element);
            FUZZ_CHECK(t.count >= 1 && t.count <= most && element + static_cast<std::uint32_t>(t.count) - 1 <= 0xFFFF);
            FUZZ_CHECK(t.write == IsWrite(r.function));
            FUZZ_CHECK(t.values.size() == (t.write ? static_cast<std::size_t>(t.count) : 0u));
            element += static_cast<std::uint32_t>(t.count);
        }
        FUZZ_CHECK(element == r.address + 1u + r.count);
        return;
    }
    FUZZ_CHECK(job.transfers.empty() && !job.writes.empty());
    std::uint32_t slots = 0;
    for (const WriteStep &s : job.writes) {
        FUZZ_CHECK(s.range < f.ranges.size());
        const CheckedRange &c = f.ranges[s.range];
        FUZZ_CHECK(c.range.writable && c.range.unit == r.unit && c.range.table == TableOf(r.function));
        if (c.range.kind == ValueKind::Bits) {
            const std::uint32_t mask = ((1u << c.range.count) - 1u) << c.firstBit;
            FUZZ_CHECK((s.setBits & s.clearBits) == 0 && ((s.setBits | s.clearBits) & ~mask) == 0);
            slots += static_cast<std::uint32_t>(__builtin_popcount(s.setBits | s.clearBits));
            continue;
        }
        FUZZ_CHECK(!s.values.empty() && s.firstValue >= 0 &&
                   s.firstValue + static_cast<std::int32_t>(s.values.size()) <= c.range.count);
        for (const std::uint32_t v : s.values) {
            FUZZ_CHECK(c.range.kind != ValueKind::Points || v <= 1);
            FUZZ_CHECK(IsWide(c.range.kind) || v <= 0xFFFF);
        }
        slots += static_cast<std::uint32_t>(s.values.size()) * SlotsPerValue(c.range.kind);
    }
    FUZZ_CHECK(slots == r.count);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    orvtiw::fuzz::QuietLog();
    Fixture &f = Shared();
    if (size < 1) {
        return 0;
    }
    const bool transparent = (data[0] & 0x80) != 0;
    SetCache(f, data[0]);
    const std::vector<std::uint16_t> stats{1, 2, 3, 4};
    const StatsRegisters statsRegisters = [&stats] { return stats; };
    const PointValues values(f.ranges, f.plan, *f.cache, std::chrono::milliseconds(100), (data[0] & 0x40) != 0);
    const MapRouter mapped(values, 247, statsRegisters);
    const TransparentRouter direct((data[0] & 0x40) == 0, 247, statsRegisters);
    const Router &router = transparent ? static_cast<const Router &>(direct) : mapped;
    static Tables4 tables;

    // Fed to the server's stream as they come; a frame it cuts out is what
    // the server serves, if it has its function's shape.
    MbapStream stream;
    std::span<const std::uint8_t> rest(data + 1, size - 1);
    bool malformed = false;
    while (!rest.empty() && !malformed) {
        const std::span<std::uint8_t> room = stream.Room();
        const std::size_t n = std::min(room.size(), rest.size());
        FUZZ_CHECK(n > 0);
        std::copy_n(rest.begin(), n, room.begin());
        stream.Appended(n);
        rest = rest.subspan(n);
        std::span<const std::uint8_t> frame;
        for (MbapStream::Next next = stream.Take(frame); next != MbapStream::Next::NeedMore;
             next = stream.Take(frame)) {
            if (next == MbapStream::Next::Malformed) {
                malformed = true;
                break;
            }
            FUZZ_CHECK(frame.size() > kMbapHeaderBytes && frame.size() <= kMaxFrameBytes);
            const std::span<const std::uint8_t> pdu = frame.subspan(kMbapHeaderBytes);
            if ((pdu[0] & 0x80) != 0 || !PduHasItsShape(pdu)) {
                malformed = true;
                break;
            }
            const Request request = DecodeRequest(frame, kMbapHeaderBytes);
            tables.Fill();
            Tables view = tables.View();
            Routed routed = router.Route(request, f.now, view);
            switch (routed.kind) {
            case Routed::Kind::Reply:
                if (request.unit == 247) {
                    FUZZ_CHECK(request.function == kReadInputRegisters);
                    for (std::uint16_t i = 0; i < request.count; ++i) {
                        FUZZ_CHECK(tables.input[request.address + i] == stats[request.address + i]);
                    }
                } else {
                    FUZZ_CHECK(!transparent);
                    CheckReply(f, request, tables);
                }
                break;
            case Routed::Kind::Exception:
                FUZZ_CHECK(routed.exception == kIllegalFunction || routed.exception == kIllegalDataAddress ||
                           routed.exception == kIllegalDataValue || routed.exception == kServerDeviceFailure ||
                           routed.exception == kGatewayPathUnavailable || routed.exception == kGatewayTargetFailed);
                break;
            case Routed::Kind::Queue:
                FUZZ_CHECK(routed.job != nullptr);
                CheckJob(f, request, *routed.job, transparent);
                break;
            }
        }
    }
    return 0;
}
