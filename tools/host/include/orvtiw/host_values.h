// Value types of a host: which gate type code they ask the driver for, how
// the host value buffer is laid out, how values are parsed and printed, and
// how raw element bits become typed values.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace orvtiw::host {

enum class ValueType { Int16, UInt16, Int32, UInt32, Float, Hex, Hex32, Bit };

// Largest block the driver accepts, in data bytes, and so in elements.
inline constexpr int kMaxBlockBytes = 256;
inline constexpr int kMaxCount = kMaxBlockBytes;

std::optional<ValueType> ParseValueType(std::string_view name);
const char *ValueTypeName(ValueType type);
// The gate type code for operations 3 and 4: 0/1 16-bit, 3/4 32-bit
// integers, 5 float, 6 digital.
std::int32_t GateTypeCode(ValueType type);

// The transfer operation a buffer is laid out for.
enum class Transfer { ReadGate, ReadBlock, WriteGate, WriteBlock };

// Where the values of one transfer lie in the host value buffer.
struct BufferLayout {
    std::size_t offset; // first value, from the start of the buffer handed to the driver
    std::size_t stride; // distance between values
    std::size_t size;   // bytes of one value: 1, 2 or 4
    std::size_t total;  // bytes of the buffer the transfer touches
};

// The layout for `count` values of `width` bits (8, 16, 32 as the driver
// decoded the address). Returns nothing for a width or count the driver
// cannot move, or a block beyond kMaxBlockBytes data bytes.
std::optional<BufferLayout> LayoutFor(Transfer transfer, std::int32_t width, std::int32_t bitNumber,
                                      std::int32_t count);

// Parses one value typed by the user into the raw bits of a `size`-byte
// slot (1, 2 or 4). A value that does not fit the slot is refused rather
// than cut. `error` receives the reason.
std::optional<std::uint32_t> ParseValue(ValueType type, std::size_t size, std::string_view text,
                                        std::string &error);

// Prints the raw bits of a `size`-byte slot as the type shows them.
std::string FormatValue(ValueType type, std::size_t size, std::uint32_t raw);

// Reads and writes a slot of the host buffer in the host's byte order.
std::uint32_t LoadSlot(const unsigned char *at, std::size_t size);
void StoreSlot(unsigned char *at, std::size_t size, std::uint32_t raw);

// Does a raw value fit an element of `size` bytes (1, 2 or 4)? A bit takes
// only 0 or 1.
bool FitsElement(ValueType type, std::size_t size, std::uint32_t raw);

// The value type of a C++ type, and the conversions between a typed value
// and an element's raw bits.
template <typename T> constexpr ValueType ValueTypeOf();
template <> constexpr ValueType ValueTypeOf<std::int16_t>() {
    return ValueType::Int16;
}
template <> constexpr ValueType ValueTypeOf<std::uint16_t>() {
    return ValueType::UInt16;
}
template <> constexpr ValueType ValueTypeOf<std::int32_t>() {
    return ValueType::Int32;
}
template <> constexpr ValueType ValueTypeOf<std::uint32_t>() {
    return ValueType::UInt32;
}
template <> constexpr ValueType ValueTypeOf<float>() {
    return ValueType::Float;
}
template <> constexpr ValueType ValueTypeOf<bool>() {
    return ValueType::Bit;
}

template <typename T> T FromRaw(std::uint32_t raw) {
    if constexpr (std::is_same_v<T, float>) {
        return std::bit_cast<float>(raw);
    } else if constexpr (std::is_same_v<T, bool>) {
        return raw != 0;
    } else if constexpr (sizeof(T) == 2) {
        return static_cast<T>(static_cast<std::uint16_t>(raw));
    } else {
        return static_cast<T>(raw);
    }
}

template <typename T> std::uint32_t ToRaw(T value) {
    if constexpr (std::is_same_v<T, float>) {
        return std::bit_cast<std::uint32_t>(value);
    } else if constexpr (std::is_same_v<T, bool>) {
        return value ? 1u : 0u;
    } else if constexpr (sizeof(T) == 2) {
        return static_cast<std::uint16_t>(value);
    } else {
        return static_cast<std::uint32_t>(value);
    }
}

} // namespace orvtiw::host
