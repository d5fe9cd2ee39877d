#include "mqtt/commands.h"

#include <bit>
#include <cmath>
#include <string>

namespace orvgate::mqtt {

const char *Describe(CommandCheck check) {
    switch (check) {
    case CommandCheck::Write:
        return "a write";
    case CommandCheck::ReadOnly:
        return "a read-only metric";
    case CommandCheck::WrongType:
        return "the wrong datatype";
    case CommandCheck::NoValue:
        return "no value";
    case CommandCheck::OutOfRange:
        return "a value outside the metric's type";
    }
    return "";
}

std::string DatatypeName(std::uint32_t type) {
    static const char *const names[] = {"Unknown", "Int8",   "Int16", "Int32",  "Int64",   "UInt8", "UInt16",
                                        "UInt32",  "UInt64", "Float", "Double", "Boolean", "String"};
    if (type < sizeof names / sizeof names[0]) {
        return names[type];
    }
    return "datatype " + std::to_string(type);
}

namespace {

std::string Typed(std::uint32_t type) {
    return DatatypeName(type) + " (" + std::to_string(type) + ")";
}

const char *FieldName(CommandMetric::Field field) {
    switch (field) {
    case CommandMetric::Field::Int:
        return "int_value";
    case CommandMetric::Field::Long:
        return "long_value";
    case CommandMetric::Field::Float:
        return "float_value";
    case CommandMetric::Field::Double:
        return "double_value";
    case CommandMetric::Field::Boolean:
        return "boolean_value";
    case CommandMetric::Field::String:
        return "string_value";
    case CommandMetric::Field::Other:
        return "another value field";
    case CommandMetric::Field::None:
        break;
    }
    return "no value";
}

} // namespace

std::string Explain(CommandCheck check, const MetricDef &def, const CommandMetric &command) {
    std::string why = Describe(check);
    if (check == CommandCheck::WrongType) {
        why += ": expects " + Typed(static_cast<std::uint32_t>(def.type)) + ", got " +
               (command.datatype ? Typed(*command.datatype) : std::string("a value in ") + FieldName(command.field));
        if (command.datatype && *command.datatype == static_cast<std::uint32_t>(def.type)) {
            why += std::string(" in ") + FieldName(command.field);
        }
    }
    return why;
}

CommandCheck CheckCommand(const MetricDef &def, const CommandMetric &command, std::uint32_t &raw) {
    using Field = CommandMetric::Field;
    if (!def.writable) {
        return CommandCheck::ReadOnly;
    }
    if (command.datatype && *command.datatype != static_cast<std::uint32_t>(def.type)) {
        return CommandCheck::WrongType;
    }
    if (command.isNull || command.field == Field::None) {
        return CommandCheck::NoValue;
    }
    const std::uint64_t v = command.integer;
    switch (def.type) {
    case Datatype::Int16: {
        if (command.field != Field::Int) {
            return CommandCheck::WrongType;
        }
        const auto s = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
        if (s < -32768 || s > 32767) {
            return CommandCheck::OutOfRange;
        }
        raw = static_cast<std::uint32_t>(s) & 0xFFFFu;
        return CommandCheck::Write;
    }
    case Datatype::UInt16:
        if (command.field != Field::Int) {
            return CommandCheck::WrongType;
        }
        if (v > 0xFFFFu) {
            return CommandCheck::OutOfRange;
        }
        raw = static_cast<std::uint32_t>(v);
        return CommandCheck::Write;
    case Datatype::Int32:
        if (command.field != Field::Int) {
            return CommandCheck::WrongType;
        }
        raw = static_cast<std::uint32_t>(v);
        return CommandCheck::Write;
    case Datatype::UInt32:
        if (command.field != Field::Int && command.field != Field::Long) {
            return CommandCheck::WrongType;
        }
        if (v > 0xFFFFFFFFu) {
            return CommandCheck::OutOfRange;
        }
        raw = static_cast<std::uint32_t>(v);
        return CommandCheck::Write;
    case Datatype::Float:
        if (command.field != Field::Float) {
            return CommandCheck::WrongType;
        }
        if (!std::isfinite(command.real32)) {
            return CommandCheck::OutOfRange;
        }
        raw = std::bit_cast<std::uint32_t>(command.real32);
        return CommandCheck::Write;
    case Datatype::Boolean:
        if (command.field != Field::Boolean) {
            return CommandCheck::WrongType;
        }
        raw = v != 0 ? 1u : 0u;
        return CommandCheck::Write;
    default:
        return CommandCheck::WrongType;
    }
}

bool IsRebirthRequest(const CommandMetric &command) {
    return command.name && *command.name == kRebirthMetric &&
           (!command.datatype || *command.datatype == static_cast<std::uint32_t>(Datatype::Boolean)) &&
           !command.isNull && command.field == CommandMetric::Field::Boolean && command.integer != 0;
}

} // namespace orvgate::mqtt
