// What a command may write: the check of one DCMD metric against the
// metric of the map it names, down to the raw value the write queue takes,
// and the one NCMD the node obeys.
#pragma once

#include <cstdint>
#include <string>

#include "mqtt/edge_source.h"
#include "mqtt/payload.h"

namespace orvgate::mqtt {

inline constexpr char kRebirthMetric[] = "Node Control/Rebirth";

enum class CommandCheck {
    Write,     // `raw` holds the value to write
    ReadOnly,  // the metric is not writable
    WrongType, // the datatype given, or the value's field, is not the metric's
    NoValue,   // null, or no value
    OutOfRange // the value does not fit the metric's type (or is not a finite float)
};

const char *Describe(CommandCheck check);

// A datatype's name as hosts show it ("Float"), or "datatype N" for one
// this node does not know.
std::string DatatypeName(std::uint32_t type);

// Why a command's value is refused, in words an operator can act on:
// Describe(check), and for the wrong datatype what the metric expects and
// what came, as "the wrong datatype: expects Float (9), got Int32 (3)".
std::string Explain(CommandCheck check, const MetricDef &def, const CommandMetric &command);

// Checks a command metric against the metric it names. Int16 takes an
// int_value whose 32 bits, read as signed, lie within -32768..32767 (so -1
// comes as 0xFFFFFFFF, as the node sends it); UInt16 one within 0..65535;
// Int32 any int_value; UInt32 an int_value, or a long_value within 32 bits
// (older hosts send it there);
// Float a finite float_value; Boolean a boolean_value. `raw` is as
// PointValue::raw: a 16-bit value zero-extended, a float's bits, 0 or 1.
CommandCheck CheckCommand(const MetricDef &def, const CommandMetric &command, std::uint32_t &raw);

// Whether an NCMD metric asks for a rebirth: named Node Control/Rebirth,
// Boolean if it says its type, true.
bool IsRebirthRequest(const CommandMetric &command);

} // namespace orvgate::mqtt
