#include "mqtt/commands.h"

#include <bit>
#include <cmath>

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
