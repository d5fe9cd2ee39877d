#include "modbus/value_codec.h"

namespace orvgate {

std::uint16_t RegisterOf(ValueKind kind, WordOrder order, std::uint32_t raw, int half) {
    if (!IsWide(kind)) {
        return static_cast<std::uint16_t>(raw);
    }
    const bool high = (half == 0) == (order != WordOrder::LowFirst);
    return static_cast<std::uint16_t>(high ? raw >> 16 : raw);
}

std::uint32_t RawOfRegisters(WordOrder order, std::uint16_t first, std::uint16_t second) {
    return order == WordOrder::LowFirst ? (static_cast<std::uint32_t>(second) << 16) | first
                                        : (static_cast<std::uint32_t>(first) << 16) | second;
}

} // namespace orvgate
