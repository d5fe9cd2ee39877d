// Big-endian fields of the card's requests, replies and mailbox. Value (or
// source) first, destination (or result) second; no alignment needed.
#pragma once

#include <cstdint>

namespace orvtiw {

inline void PutBE16(std::uint16_t value, std::uint8_t *dest) {
    dest[0] = static_cast<std::uint8_t>(value >> 8);
    dest[1] = static_cast<std::uint8_t>(value);
}

inline void GetBE16(const std::uint8_t *src, std::uint16_t *out) {
    *out = static_cast<std::uint16_t>(src[0] * 256u + src[1]);
}

inline void PutBE32(std::uint32_t value, std::uint8_t *dest) {
    dest[0] = static_cast<std::uint8_t>(value >> 24);
    dest[1] = static_cast<std::uint8_t>(value >> 16);
    dest[2] = static_cast<std::uint8_t>(value >> 8);
    dest[3] = static_cast<std::uint8_t>(value);
}

inline void GetBE32(const std::uint8_t *src, std::uint32_t *out) {
    *out = (static_cast<std::uint32_t>(src[0]) << 24) | (static_cast<std::uint32_t>(src[1]) << 16) |
           (static_cast<std::uint32_t>(src[2]) << 8) | static_cast<std::uint32_t>(src[3]);
}

} // namespace orvtiw
