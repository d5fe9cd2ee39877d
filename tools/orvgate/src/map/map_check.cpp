#include "map/map_check.h"

#include <algorithm>
#include <map>
#include <utility>

#include "map/gate_address.h"

namespace orvgate {
namespace {

constexpr char kPrefixEnd[] = "TIW: ";
// The parser's line on entry, which says nothing about the refusal.
constexpr char kParserEntered[] = "SingleAddressParser funtcion entered";
constexpr int kConfigurationLevel = 8;

std::string LineError(const RangeLine &r, const std::string &text) {
    return "line " + std::to_string(r.line) + ": " + text;
}

std::string Describe(const RangeLine &r) {
    return r.gate + " as " + ValueKindName(r.kind);
}

// One range: the driver's checks, then the element numbers it may reach.
std::optional<CheckedRange> CheckRange(const RangeLine &r, const AddressCheck &check, std::string &error) {
    const orvtiw::host::ValueType type = CheckType(r.kind);
    const orvtiw::host::CheckResult single = check(r.channel, r.gate, type, 1, false);
    if (!single.ok()) {
        error = LineError(r, "the driver refused " + Describe(r) + ": " + RefusalReason(single));
        return std::nullopt;
    }
    CheckedRange out;
    out.range = r;
    const AddressParts parts = SplitAddress(r.gate).value_or(AddressParts{});
    NetworkSpan &span = out.span;
    span.channel = r.channel;
    span.secondary = single.gate.decoded.plcAddress;
    span.regionId = single.gate.decoded.regionId;
    span.first = single.gate.decoded.elementNumber;

    if (r.kind == ValueKind::Bits) {
        const int bit = single.gate.decoded.bitNumber;
        if (bit + r.count > 16) {
            error = LineError(r, std::to_string(r.count) + " bits from bit " + std::to_string(bit) +
                                     " run past bit 15 of the word");
            return std::nullopt;
        }
        AddressParts word = parts;
        word.bit = -1;
        const orvtiw::host::CheckResult wordGate =
            check(r.channel, FormatAddress(word), orvtiw::host::ValueType::UInt16, 1, false);
        if (!wordGate.ok()) {
            error = LineError(r, "the driver refused the word of " + r.gate + ": " + RefusalReason(wordGate));
            return std::nullopt;
        }
        out.gate = wordGate.gate;
        out.firstBit = bit;
        span.units = 1;
        span.unitBytes = 2;
        return out;
    }

    const orvtiw::host::CheckResult block = check(r.channel, r.gate, type, r.count, true);
    if (!block.ok()) {
        error = LineError(r, "the driver refused " + std::to_string(r.count) + " values from " + Describe(r) + ": " +
                                 RefusalReason(block));
        return std::nullopt;
    }
    out.gate = block.gate;
    span.units = r.count;
    span.unitBytes = block.gate.decoded.width / 8;
    const std::uint32_t last = parts.element + static_cast<std::uint32_t>(r.count * ElementsPerValue(block.gate)) - 1;
    if (last > kMaxElement) {
        error = LineError(r, std::to_string(r.count) + " values from " + r.gate +
                                 " run past the last element of the region (FFFF)");
        return std::nullopt;
    }
    return out;
}

// Two ranges of one unit and table may not share an address: a client's
// write would reach two gates, a read would be ambiguous.
bool FindOverlap(const std::vector<CheckedRange> &ranges, std::string &error) {
    std::map<std::pair<int, int>, std::vector<const RangeLine *>> byTable;
    for (const CheckedRange &c : ranges) {
        if (c.range.modbus) {
            byTable[{c.range.unit, static_cast<int>(c.range.table)}].push_back(&c.range);
        }
    }
    for (auto &[key, lines] : byTable) {
        std::sort(lines.begin(), lines.end(),
                  [](const RangeLine *a, const RangeLine *b) { return a->address < b->address; });
        for (std::size_t i = 1; i < lines.size(); ++i) {
            const RangeLine &before = *lines[i - 1];
            const RangeLine &r = *lines[i];
            if (r.address < before.address + before.Slots()) {
                const RangeLine &later = r.line > before.line ? r : before;
                const RangeLine &earlier = r.line > before.line ? before : r;
                error = LineError(later, std::string(TableName(r.table)) + " " + std::to_string(later.address) + ".." +
                                             std::to_string(later.address + later.Slots() - 1) + " of unit " +
                                             std::to_string(r.unit) + " overlap line " + std::to_string(earlier.line) +
                                             " (" + std::to_string(earlier.address) + ".." +
                                             std::to_string(earlier.address + earlier.Slots() - 1) + ")");
                return true;
            }
        }
    }
    return false;
}

} // namespace

std::string RefusalReason(const orvtiw::host::Result &result) {
    if (!result.problem.empty()) {
        return result.problem;
    }
    std::string reason;
    for (const orvtiw::host::LogLine &line : result.log) {
        if (line.level != kConfigurationLevel || line.text.find(kParserEntered) != std::string::npos) {
            continue;
        }
        const std::size_t at = line.text.find(kPrefixEnd);
        reason += (reason.empty() ? "" : "; ") +
                  (at == std::string::npos ? line.text : line.text.substr(at + sizeof kPrefixEnd - 1));
    }
    return reason.empty() ? result.Describe() : reason;
}

std::optional<std::vector<CheckedRange>> CheckMap(const MapFile &map, const AddressCheck &check, int reservedUnit,
                                                  std::string &error) {
    std::vector<CheckedRange> checked;
    checked.reserve(map.ranges.size());
    for (const RangeLine &r : map.ranges) {
        if (r.modbus && r.unit == reservedUnit) {
            error = LineError(r, "unit " + std::to_string(r.unit) +
                                     " is the gateway's own, for its statistics (see --stats-unit)");
            return std::nullopt;
        }
        auto one = CheckRange(r, check, error);
        if (!one) {
            return std::nullopt;
        }
        checked.push_back(std::move(*one));
    }
    if (FindOverlap(checked, error)) {
        return std::nullopt;
    }
    return checked;
}

} // namespace orvgate
