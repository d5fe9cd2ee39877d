// Character classes and number reading of the initialisation file and the
// gate addresses: ASCII only, whatever the locale.
#pragma once

#include <cstdint>

namespace orvtiw {

inline bool IsHexDigit(int c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

inline bool IsDecimalDigit(int c) {
    return c >= '0' && c <= '9';
}

inline bool IsLetter(int c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

inline int HexValue(int c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return c - 'A' + 10;
}

// Reads a base-16 number the way the C library's string-to-long reads it with
// a 32-bit long: leading white space, an optional sign, an optional 0x or 0X,
// then hexadecimal digits; no digits gives 0; out of range saturates.
std::int32_t ParseHexLong(const char *text);

} // namespace orvtiw
