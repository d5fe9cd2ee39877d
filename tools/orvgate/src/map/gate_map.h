// What a map says: the channels to start and the Modbus ranges that stand
// for gates of their networks, first as the map file's lines give them,
// then as the driver checked them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "orvtiw/host.h"

namespace orvgate {

// The four Modbus tables.
enum class Table { Coils, DiscreteInputs, HoldingRegisters, InputRegisters };

// What a range's values are, and how they lie in the table.
enum class ValueKind {
    Int16,  // one register per 16-bit element
    UInt16, // the same, unsigned
    Int32,  // two registers per 32-bit value (a 32-bit or double region)
    UInt32,
    Float,
    Bits,  // coils: bits of one word, from the bit the address names
    Points // coils: one per element of a discrete (8-bit) region
};

// Which register of a 32-bit value comes first.
enum class WordOrder { None, HighFirst, LowFirst };

const char *TableName(Table table);
const char *ValueKindName(ValueKind kind);
const char *WordOrderName(WordOrder order);

inline bool IsBitTable(Table table) {
    return table == Table::Coils || table == Table::DiscreteInputs;
}
// The tables a Modbus client can write at all.
inline bool IsWritableTable(Table table) {
    return table == Table::Coils || table == Table::HoldingRegisters;
}
inline bool IsWide(ValueKind kind) {
    return kind == ValueKind::Int32 || kind == ValueKind::UInt32 || kind == ValueKind::Float;
}
inline bool IsBitKind(ValueKind kind) {
    return kind == ValueKind::Bits || kind == ValueKind::Points;
}
// Registers or coils that one value takes.
inline std::uint32_t SlotsPerValue(ValueKind kind) {
    return IsWide(kind) ? 2 : 1;
}

// The type the driver's address check is asked for.
orvtiw::host::ValueType CheckType(ValueKind kind);

struct ChannelLine {
    int line = 0;
    std::int32_t number = 0;
    std::string initFile; // as written, relative to the map file's directory
};

// One range line of the map file.
struct RangeLine {
    int line = 0;
    std::int32_t channel = 0; // of the channel line it follows
    Table table = Table::HoldingRegisters;
    int unit = 0;
    std::uint32_t address = 0; // first Modbus address
    std::string gate;          // the gate address of the first value
    std::int32_t count = 0;    // values: elements, 32-bit values or bits
    ValueKind kind = ValueKind::Int16;
    WordOrder order = WordOrder::None;
    bool writable = false;
    // False for a range published to MQTT only (an `mqtt` line): it has no
    // Modbus table, unit or address.
    bool modbus = true;
    // False for a Modbus range kept off MQTT (`no-mqtt`): alarm bits that
    // an `mqtt` line names one by one, say, are not published twice.
    bool mqtt = true;
    std::string name;    // as the map names it (quoted), else empty: named after its gate
    double deadband = 0; // an MQTT change no larger than this is not reported
    // Its scan class: 0 the default (--scan-period, --max-age), k the map's
    // k-th `class` line.
    std::size_t scanClass = 0;

    // Modbus addresses the range covers.
    std::uint32_t Slots() const {
        return static_cast<std::uint32_t>(count) * SlotsPerValue(kind);
    }
};

// The MQTT device id of one secondary of a channel (a `device` line).
struct DeviceLine {
    int line = 0;
    std::int32_t channel = 0;
    std::int32_t secondary = 0;
    std::string id;
};

// A scan class (a `class` line): its ranges are read once a period, and
// served as good while younger than its ceiling (0: not given, the default).
struct ClassLine {
    int line = 0;
    std::string name;
    std::chrono::milliseconds period{0};
    std::chrono::milliseconds maxAge{0};
};

struct MapFile {
    std::vector<ClassLine> classes;
    std::vector<ChannelLine> channels;
    std::vector<RangeLine> ranges;
    std::vector<DeviceLine> devices;
};

// Where a range's values lie on the network, in the driver's own terms: the
// decoded region id (with the odd-element flag of a double region) and
// element numbers, which count 32-bit values in a double region.
struct NetworkSpan {
    std::int32_t channel = 0;
    std::int32_t secondary = 0;
    std::int32_t regionId = 0;
    std::int32_t first = 0;     // decoded element number of the first value
    std::int32_t units = 0;     // values read: elements, or 1 word for bits
    std::int32_t unitBytes = 0; // bytes of one value as a read delivers it: 1, 2 or 4
};

// A range the driver accepted.
struct CheckedRange {
    RangeLine range;
    // The gate writes go through: the block of all its values (operation 4),
    // or for bits the word that holds them (operation 3, no bit).
    orvtiw::host::Gate gate;
    int firstBit = 0; // bits: the bit of the word the first coil stands for
    NetworkSpan span;
};

} // namespace orvgate
