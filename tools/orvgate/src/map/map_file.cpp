#include "map/map_file.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <string_view>
#include <vector>

#include "text_fields.h"

namespace orvgate {
namespace {

using orvtiw::text::ParseNumber;
using orvtiw::text::SplitFields;
using Fields = std::vector<std::string_view>;

// Longer lines are refused rather than read without end.
constexpr std::size_t kMaxLine = 4096;
constexpr std::uint32_t kMaxUnit = 255;
constexpr std::uint32_t kMaxAddress = 0xFFFF;

constexpr char kRangeUsage[] = "expected: TABLE UNIT ADDRESS GATE COUNT TYPE [ORDER] [rw] [deadband D] [class "
                               "NAME] [no-mqtt] [\"NAME\"]";
constexpr char kMqttUsage[] = "expected: mqtt GATE COUNT TYPE [rw] [deadband D] [class NAME] [\"NAME\"]";
constexpr char kClassUsage[] = "expected: class NAME PERIOD [max-age AGE] (times as 200ms or 2.5s)";
// A class is read at most this often and at least this seldom.
constexpr std::chrono::milliseconds kLeastPeriod{1};
constexpr std::chrono::milliseconds kLongestPeriod{3600 * 1000};
constexpr std::uint32_t kMaxSecondary = 31;

// A quoted name at the end of a line ("Pump 1 speed"), taken out of the
// line so that the rest splits into fields; a line with an unmatched quote
// is refused.
bool TakeName(std::string &line, std::string &name, std::string &problem) {
    const std::size_t comment = line.find('#');
    const std::size_t open = line.find('"');
    if (open == std::string::npos || (comment != std::string::npos && comment < open)) {
        return true;
    }
    const std::size_t close = line.find('"', open + 1);
    if (close == std::string::npos) {
        problem = "a name's closing quote is missing";
        return false;
    }
    name = line.substr(open + 1, close - open - 1);
    const std::string rest = line.substr(close + 1);
    if (!SplitFields(rest).empty()) {
        problem = "nothing but a comment may follow the quoted name";
        return false;
    }
    if (name.empty()) {
        problem = "an empty name";
        return false;
    }
    line = line.substr(0, open);
    return true;
}

// A deadband: a number of 0 or more, in the value's own units.
std::optional<double> ParseDeadband(std::string_view text) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !(value >= 0) || value > 1e12) {
        return std::nullopt;
    }
    return value;
}

// A time as the map writes it: a number of milliseconds ("200ms") or of
// seconds ("2.5s"), whole milliseconds.
std::optional<std::chrono::milliseconds> ParseTime(std::string_view text) {
    double scale = 0;
    if (text.size() > 2 && text.substr(text.size() - 2) == "ms") {
        scale = 1;
        text.remove_suffix(2);
    } else if (text.size() > 1 && text.back() == 's') {
        scale = 1000;
        text.remove_suffix(1);
    } else {
        return std::nullopt;
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    const double ms = value * scale;
    if (ec != std::errc() || end != text.data() + text.size() || !(ms >= 0) || ms > 1e9 ||
        ms != static_cast<double>(static_cast<long long>(ms))) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(static_cast<long long>(ms));
}

bool IsClassName(std::string_view name) {
    if (name.empty() || name.size() > 32) {
        return false;
    }
    for (const char c : name) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-')) {
            return false;
        }
    }
    return true;
}

struct Named {
    const char *name;
    int value;
};

constexpr std::array<Named, 4> kTables{{{"coils", static_cast<int>(Table::Coils)},
                                        {"discrete", static_cast<int>(Table::DiscreteInputs)},
                                        {"holding", static_cast<int>(Table::HoldingRegisters)},
                                        {"input", static_cast<int>(Table::InputRegisters)}}};

constexpr std::array<Named, 7> kKinds{{{"int16", static_cast<int>(ValueKind::Int16)},
                                       {"uint16", static_cast<int>(ValueKind::UInt16)},
                                       {"int32", static_cast<int>(ValueKind::Int32)},
                                       {"uint32", static_cast<int>(ValueKind::UInt32)},
                                       {"float", static_cast<int>(ValueKind::Float)},
                                       {"bits", static_cast<int>(ValueKind::Bits)},
                                       {"points", static_cast<int>(ValueKind::Points)}}};

constexpr std::array<Named, 2> kOrders{
    {{"high-first", static_cast<int>(WordOrder::HighFirst)}, {"low-first", static_cast<int>(WordOrder::LowFirst)}}};

template <std::size_t N> std::optional<int> Lookup(const std::array<Named, N> &names, std::string_view word) {
    for (const Named &n : names) {
        if (word == n.name) {
            return n.value;
        }
    }
    return std::nullopt;
}

template <std::size_t N> const char *NameOf(const std::array<Named, N> &names, int value) {
    for (const Named &n : names) {
        if (n.value == value) {
            return n.name;
        }
    }
    return "?";
}

class Reader {
  public:
    bool Run(std::istream &in, MapFile &map, std::string &error) {
        std::string line;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            std::string problem;
            name_.clear();
            if (line.size() > kMaxLine) {
                problem = "line too long";
            } else if (TakeName(line, name_, problem)) {
                problem = Line(SplitFields(line), number, map);
            }
            if (!problem.empty()) {
                error = "line " + std::to_string(number) + ": " + problem;
                return false;
            }
        }
        if (map.channels.empty()) {
            error = "the map starts no channel (expected: channel NUMBER INITFILE)";
            return false;
        }
        return true;
    }

  private:
    std::string Line(const Fields &f, int number, MapFile &map) {
        if (f.empty()) {
            return {};
        }
        if (!name_.empty() && f[0] != "mqtt" && !Lookup(kTables, f[0])) {
            return "only a range takes a name";
        }
        if (f[0] == "channel") {
            return Channel(f, number, map);
        }
        if (f[0] == "class") {
            return Class(f, number, map);
        }
        if (f[0] == "device") {
            return Device(f, number, map);
        }
        if (f[0] == "mqtt") {
            return MqttRange(f, number, map);
        }
        if (const auto table = Lookup(kTables, f[0])) {
            return Range(f, number, static_cast<Table>(*table), map);
        }
        return "unknown statement '" + std::string(f[0]) +
               "' (class, channel, device, coils, discrete, holding, input or mqtt)";
    }

    std::string Device(const Fields &f, int number, MapFile &map) {
        if (map.channels.empty()) {
            return "device before any channel line";
        }
        const auto secondary = f.size() == 3 ? ParseNumber(f[1], kMaxSecondary) : std::nullopt;
        if (!secondary || *secondary < 1) {
            return "expected: device SECONDARY(1..31) ID";
        }
        const std::int32_t channel = map.channels.back().number;
        for (const DeviceLine &d : map.devices) {
            if (d.channel == channel && d.secondary == static_cast<std::int32_t>(*secondary)) {
                return "secondary " + std::to_string(*secondary) + " of channel " + std::to_string(channel) +
                       " already has its id, on line " + std::to_string(d.line);
            }
        }
        map.devices.push_back(DeviceLine{number, channel, static_cast<std::int32_t>(*secondary), std::string(f[2])});
        return {};
    }

    // A range that MQTT alone publishes: its table follows its type, and it
    // has no unit or address.
    std::string MqttRange(const Fields &f, int number, MapFile &map) {
        if (map.channels.empty()) {
            return "range before any channel line";
        }
        if (f.size() < 4) {
            return kMqttUsage;
        }
        const auto kind = Lookup(kKinds, f[3]);
        if (!kind) {
            return "unknown type '" + std::string(f[3]) + "' (int16, uint16, int32, uint32, float, bits or points)";
        }
        Fields as{IsBitKind(static_cast<ValueKind>(*kind)) ? "coils" : "holding", "0", "0", f[1], f[2], f[3]};
        if (IsWide(static_cast<ValueKind>(*kind))) {
            as.push_back("high-first"); // no registers: the order is never used
        }
        as.insert(as.end(), f.begin() + 4, f.end());
        const std::string problem =
            Range(as, number, IsBitKind(static_cast<ValueKind>(*kind)) ? Table::Coils : Table::HoldingRegisters, map);
        if (!problem.empty()) {
            return problem == kRangeUsage ? kMqttUsage : problem;
        }
        if (!map.ranges.back().mqtt) {
            map.ranges.pop_back(); // a range for MQTT alone kept off MQTT would serve nobody
            return kMqttUsage;
        }
        map.ranges.back().modbus = false;
        return {};
    }

    std::string Class(const Fields &f, int number, MapFile &map) {
        if (f.size() != 3 && !(f.size() == 5 && f[3] == "max-age")) {
            return kClassUsage;
        }
        ClassLine c;
        c.line = number;
        c.name = std::string(f[1]);
        if (!IsClassName(c.name) || c.name == "default") {
            return "class name '" + c.name + "' is not letters, digits, _ and - (and not 'default')";
        }
        for (const ClassLine &other : map.classes) {
            if (other.name == c.name) {
                return "class " + c.name + " already defined on line " + std::to_string(other.line);
            }
        }
        const auto period = ParseTime(f[2]);
        if (!period || *period < kLeastPeriod || *period > kLongestPeriod) {
            return "period '" + std::string(f[2]) + "' is not a time of 1ms to 3600s";
        }
        c.period = *period;
        if (f.size() == 5) {
            const auto age = ParseTime(f[4]);
            if (!age || *age <= c.period || *age > kLongestPeriod * 10) {
                return "max-age '" + std::string(f[4]) + "' is not a time longer than the period " +
                       "(or nothing younger than one period would be served)";
            }
            c.maxAge = *age;
        }
        map.classes.push_back(std::move(c));
        return {};
    }

    std::string Channel(const Fields &f, int number, MapFile &map) {
        const auto channel = f.size() == 3 ? ParseNumber(f[1], kMaxChannel) : std::nullopt;
        if (!channel || *channel < 1) {
            return "expected: channel NUMBER(1.." + std::to_string(kMaxChannel) + ") INITFILE";
        }
        for (const ChannelLine &c : map.channels) {
            if (c.number == static_cast<std::int32_t>(*channel)) {
                return "channel " + std::to_string(*channel) + " already started on line " + std::to_string(c.line);
            }
        }
        map.channels.push_back(ChannelLine{number, static_cast<std::int32_t>(*channel), std::string(f[2])});
        return {};
    }

    std::string Range(const Fields &f, int number, Table table, MapFile &map) {
        if (map.channels.empty()) {
            return "range before any channel line";
        }
        if (f.size() < 6 || f.size() > 12) {
            return kRangeUsage;
        }
        RangeLine r;
        r.line = number;
        r.channel = map.channels.back().number;
        r.table = table;
        const auto unit = ParseNumber(f[1], kMaxUnit);
        const auto address = ParseNumber(f[2], kMaxAddress);
        const auto count = ParseNumber(f[4], static_cast<std::uint32_t>(orvtiw::host::kMaxCount));
        const auto kind = Lookup(kKinds, f[5]);
        if (!unit) {
            return "unit '" + std::string(f[1]) + "' is not 0..255";
        }
        if (!address) {
            return "address '" + std::string(f[2]) + "' is not 0..65535";
        }
        if (!count || *count < 1) {
            return "count '" + std::string(f[4]) + "' is not 1.." + std::to_string(orvtiw::host::kMaxCount);
        }
        if (!kind) {
            return "unknown type '" + std::string(f[5]) + "' (int16, uint16, int32, uint32, float, bits or points)";
        }
        r.unit = static_cast<int>(*unit);
        r.address = *address;
        r.gate = std::string(f[3]);
        r.count = static_cast<std::int32_t>(*count);
        r.kind = static_cast<ValueKind>(*kind);

        std::size_t next = 6;
        if (next < f.size() && f[next] != "rw" && f[next] != "deadband" && f[next] != "class" && f[next] != "no-mqtt") {
            const auto order = Lookup(kOrders, f[next]);
            if (!order) {
                return "unknown word order '" + std::string(f[next]) + "' (high-first or low-first)";
            }
            r.order = static_cast<WordOrder>(*order);
            ++next;
        }
        if (next < f.size() && f[next] == "rw") {
            r.writable = true;
            ++next;
        }
        if (next + 1 < f.size() && f[next] == "deadband") {
            const auto deadband = ParseDeadband(f[next + 1]);
            if (!deadband) {
                return "deadband '" + std::string(f[next + 1]) + "' is not a number of 0 or more";
            }
            r.deadband = *deadband;
            next += 2;
        }
        if (next + 1 < f.size() && f[next] == "class") {
            const std::string wanted(f[next + 1]);
            const auto it = std::find_if(map.classes.begin(), map.classes.end(),
                                         [&](const ClassLine &c) { return c.name == wanted; });
            if (it == map.classes.end()) {
                return "no class '" + wanted + "' is defined above this line";
            }
            r.scanClass = static_cast<std::size_t>(it - map.classes.begin()) + 1;
            next += 2;
        }
        if (next < f.size() && f[next] == "no-mqtt") {
            r.mqtt = false; // served to Modbus clients only: an MQTT line publishes its values, if any
            ++next;
        }
        if (next != f.size()) {
            return kRangeUsage;
        }
        r.name = name_;
        if (const std::string problem = Consistent(r); !problem.empty()) {
            return problem;
        }
        map.ranges.push_back(std::move(r));
        return {};
    }

    // What one line can be judged on alone; the driver and the other lines
    // judge the rest.
    static std::string Consistent(const RangeLine &r) {
        if (IsBitTable(r.table) != IsBitKind(r.kind)) {
            return std::string(ValueKindName(r.kind)) + " values do not go in " + TableName(r.table) +
                   (IsBitTable(r.table) ? " (bits or points)" : " (int16, uint16, int32, uint32 or float)");
        }
        if (IsWide(r.kind) && r.order == WordOrder::None) {
            return std::string(ValueKindName(r.kind)) +
                   " takes two registers: give their order (high-first or low-first)";
        }
        if (!IsWide(r.kind) && r.order != WordOrder::None) {
            return std::string("a word order is for 32-bit values only, not ") + ValueKindName(r.kind);
        }
        if (r.writable && !IsWritableTable(r.table)) {
            return std::string("rw: Modbus clients cannot write ") + TableName(r.table);
        }
        if (r.address + r.Slots() > kMaxAddress + 1) {
            return "the range runs past Modbus address 65535";
        }
        const bool hasBit = r.gate.size() == 8;
        if (r.kind == ValueKind::Bits && !hasBit) {
            return "bits need the address of their first bit (8 characters, e.g. 01V00640)";
        }
        if (r.kind != ValueKind::Bits && hasBit) {
            return "only bits take an address with a bit number";
        }
        return {};
    }

    std::string name_; // the quoted name of the line being read
};

} // namespace

const char *TableName(Table table) {
    return NameOf(kTables, static_cast<int>(table));
}

const char *ValueKindName(ValueKind kind) {
    return NameOf(kKinds, static_cast<int>(kind));
}

const char *WordOrderName(WordOrder order) {
    return order == WordOrder::None ? "" : NameOf(kOrders, static_cast<int>(order));
}

orvtiw::host::ValueType CheckType(ValueKind kind) {
    using orvtiw::host::ValueType;
    switch (kind) {
    case ValueKind::Int16:
        return ValueType::Int16;
    case ValueKind::UInt16:
        return ValueType::UInt16;
    case ValueKind::Int32:
        return ValueType::Int32;
    case ValueKind::UInt32:
        return ValueType::UInt32;
    case ValueKind::Float:
        return ValueType::Float;
    case ValueKind::Bits:
    case ValueKind::Points:
        return ValueType::Bit;
    }
    return ValueType::Int16;
}

std::optional<MapFile> ReadMapFile(std::istream &in, std::string &error) {
    MapFile map;
    if (!Reader().Run(in, map, error)) {
        return std::nullopt;
    }
    return map;
}

} // namespace orvgate
