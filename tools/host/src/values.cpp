#include "orvtiw/host_values.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace orvtiw::host {
namespace {

struct TypeName {
    ValueType type;
    const char *name;
};

constexpr std::array<TypeName, 8> kTypeNames{{
    {ValueType::Int16, "int16"},
    {ValueType::UInt16, "uint16"},
    {ValueType::Int32, "int32"},
    {ValueType::UInt32, "uint32"},
    {ValueType::Float, "float"},
    {ValueType::Hex, "hex"},
    {ValueType::Hex32, "hex32"},
    {ValueType::Bit, "bit"},
}};

// A discrete (one-byte) element holds a point or a count, never a signed
// number, so only 16- and 32-bit slots read as signed.
bool IsSigned(ValueType type, std::size_t size) {
    return size >= 2 && (type == ValueType::Int16 || type == ValueType::Int32);
}

bool IsHex(ValueType type) {
    return type == ValueType::Hex || type == ValueType::Hex32;
}

// Accepts only a whole, plain decimal integer: strtoll alone would take
// leading blanks, trailing junk and silently saturate.
std::optional<long long> ParseDecimal(std::string_view text) {
    if (text.empty() || text.size() > 24) {
        return std::nullopt;
    }
    std::size_t i = 0;
    if (text[0] == '-' || text[0] == '+') {
        i = 1;
    }
    if (i == text.size()) {
        return std::nullopt;
    }
    for (std::size_t k = i; k < text.size(); ++k) {
        if (text[k] < '0' || text[k] > '9') {
            return std::nullopt;
        }
    }
    const std::string copy(text);
    errno = 0;
    char *end = nullptr;
    const long long value = std::strtoll(copy.c_str(), &end, 10);
    if (errno == ERANGE || end != copy.c_str() + copy.size()) {
        return std::nullopt;
    }
    return value;
}

// Hexadecimal with or without 0x, digits only, at most 8 of them.
std::optional<unsigned long long> ParseHex(std::string_view text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 8) {
        return std::nullopt;
    }
    unsigned long long value = 0;
    for (const char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * 16 + digit;
    }
    return value;
}

std::optional<float> ParseFloat(std::string_view text) {
    if (text.empty() || text.size() > 64) {
        return std::nullopt;
    }
    const std::string copy(text);
    // strtod skips leading blanks and reads "nan"/"inf": neither is a value
    // a person means to write into a controller.
    const char first = copy[0];
    if (!((first >= '0' && first <= '9') || first == '-' || first == '+' || first == '.')) {
        return std::nullopt;
    }
    errno = 0;
    char *end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    if (std::fabs(value) > static_cast<double>(std::numeric_limits<float>::max())) {
        return std::nullopt;
    }
    return static_cast<float>(value);
}

std::uint32_t MaskFor(std::size_t size) {
    return size >= 4 ? 0xFFFFFFFFu : (1u << (8 * size)) - 1u;
}

} // namespace

std::optional<ValueType> ParseValueType(std::string_view name) {
    for (const auto &entry : kTypeNames) {
        if (name == entry.name) {
            return entry.type;
        }
    }
    return std::nullopt;
}

const char *ValueTypeName(ValueType type) {
    for (const auto &entry : kTypeNames) {
        if (entry.type == type) {
            return entry.name;
        }
    }
    return "?";
}

std::int32_t GateTypeCode(ValueType type) {
    switch (type) {
    case ValueType::Int16:
        return 0;
    case ValueType::UInt16:
    case ValueType::Hex:
        return 1;
    case ValueType::Int32:
        return 3;
    case ValueType::UInt32:
    case ValueType::Hex32:
        return 4;
    case ValueType::Float:
        return 5;
    case ValueType::Bit:
        return 6;
    }
    return 0;
}

std::optional<BufferLayout> LayoutFor(Transfer transfer, std::int32_t width, std::int32_t bitNumber,
                                      std::int32_t count) {
    if (width != 8 && width != 16 && width != 32) {
        return std::nullopt;
    }
    if (count < 1 || count > kMaxCount || (width / 8) * count > kMaxBlockBytes) {
        return std::nullopt;
    }
    const auto n = static_cast<std::size_t>(count);
    BufferLayout layout{};
    switch (transfer) {
    case Transfer::ReadGate:
    case Transfer::WriteGate:
        if (count != 1) {
            return std::nullopt;
        }
        // The driver moves `data` on by 2 bytes for values of 16 bits or
        // less, so such a value sits in the second 16-bit slot.
        layout = width == 32 ? BufferLayout{0, 4, 4, 4} : BufferLayout{2, 2, 2, 4};
        return layout;
    case Transfer::ReadBlock:
        if (bitNumber != 255) {
            // A bit of a word, or a single discrete point: one 16-bit 0/1.
            if (count != 1) {
                return std::nullopt;
            }
            return BufferLayout{0, 2, 2, 2};
        }
        layout.size = static_cast<std::size_t>(width / 8); // 8-bit regions arrive packed
        break;
    case Transfer::WriteBlock:
        if (bitNumber != 255 && count != 1) {
            return std::nullopt;
        }
        // 8-bit regions take one 16-bit slot per element, the low byte sent.
        layout.size = width == 32 ? 4 : 2;
        break;
    }
    layout.offset = 0;
    layout.stride = layout.size;
    layout.total = n * layout.stride;
    return layout;
}

std::optional<std::uint32_t> ParseValue(ValueType type, std::size_t size, std::string_view text, std::string &error) {
    if (size != 1 && size != 2 && size != 4) {
        error = "unsupported value size";
        return std::nullopt;
    }
    const std::string shown(text.substr(0, 40));
    if (type == ValueType::Float) {
        if (size != 4) {
            error = "a float needs a 32-bit gate";
            return std::nullopt;
        }
        const auto value = ParseFloat(text);
        if (!value) {
            error = "'" + shown + "' is not a finite float";
            return std::nullopt;
        }
        std::uint32_t raw = 0;
        std::memcpy(&raw, &*value, sizeof raw);
        return raw;
    }
    if (type == ValueType::Bit) {
        if (text == "0" || text == "1") {
            return static_cast<std::uint32_t>(text[0] - '0');
        }
        error = "'" + shown + "' is not a bit value (0 or 1)";
        return std::nullopt;
    }
    const std::uint32_t mask = MaskFor(size);
    const unsigned bits = static_cast<unsigned>(8 * size);
    if (IsHex(type)) {
        const auto value = ParseHex(text);
        if (!value || *value > mask) {
            error = "'" + shown + "' is not a hexadecimal value of " + std::to_string(bits) + " bits";
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(*value);
    }
    const auto value = ParseDecimal(text);
    if (!value) {
        error = "'" + shown + "' is not a whole number";
        return std::nullopt;
    }
    if (IsSigned(type, size)) {
        const long long lo = -(1LL << (bits - 1));
        const long long hi = (1LL << (bits - 1)) - 1;
        if (*value < lo || *value > hi) {
            error = "'" + shown + "' is out of range " + std::to_string(lo) + ".." + std::to_string(hi);
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(static_cast<unsigned long long>(*value) & mask);
    }
    if (*value < 0 || static_cast<unsigned long long>(*value) > mask) {
        error = "'" + shown + "' is out of range 0.." + std::to_string(mask);
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(*value);
}

std::string FormatValue(ValueType type, std::size_t size, std::uint32_t raw) {
    if (size != 1 && size != 2 && size != 4) {
        return "?";
    }
    raw &= MaskFor(size);
    char text[48];
    if (type == ValueType::Float && size == 4) {
        float value = 0;
        std::memcpy(&value, &raw, sizeof value);
        std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    } else if (IsHex(type)) {
        std::snprintf(text, sizeof text, "0x%0*X", static_cast<int>(2 * size), raw);
    } else if (IsSigned(type, size)) {
        const unsigned bits = static_cast<unsigned>(8 * size);
        long long value = raw;
        if (bits < 64 && (raw >> (bits - 1)) != 0) {
            value -= 1LL << bits;
        }
        std::snprintf(text, sizeof text, "%lld", value);
    } else {
        // Unsigned, bit, and a float that arrived in a slot too small for one.
        std::snprintf(text, sizeof text, "%u", raw);
    }
    return text;
}

bool FitsElement(ValueType type, std::size_t size, std::uint32_t raw) {
    if (type == ValueType::Bit) {
        return raw <= 1;
    }
    return size >= 1 && size <= 4 && (raw & ~MaskFor(size)) == 0;
}

std::uint32_t LoadSlot(const unsigned char *at, std::size_t size) {
    switch (size) {
    case 1:
        return at[0];
    case 2: {
        std::uint16_t v = 0;
        std::memcpy(&v, at, sizeof v);
        return v;
    }
    case 4: {
        std::uint32_t v = 0;
        std::memcpy(&v, at, sizeof v);
        return v;
    }
    default:
        return 0;
    }
}

void StoreSlot(unsigned char *at, std::size_t size, std::uint32_t raw) {
    switch (size) {
    case 1:
        at[0] = static_cast<unsigned char>(raw);
        break;
    case 2: {
        const auto v = static_cast<std::uint16_t>(raw);
        std::memcpy(at, &v, sizeof v);
        break;
    }
    case 4:
        std::memcpy(at, &raw, sizeof raw);
        break;
    default:
        break;
    }
}

} // namespace orvtiw::host
