#include "addressing/text_scan.h"

#include <limits>

namespace orvtiw {
namespace {
bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
} // namespace

std::int32_t ParseHexLong(const char *text) {
    const char *p = text;
    while (IsCSpace(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    // "0x" counts as a prefix only when a hexadecimal digit follows it;
    // otherwise the 0 alone is the number.
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && IsHexDigit(static_cast<unsigned char>(p[2]))) {
        p += 2;
    }
    const std::int64_t limit = negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
                                        : std::numeric_limits<std::int32_t>::max();
    std::int64_t value = 0;
    bool overflow = false;
    for (; IsHexDigit(static_cast<unsigned char>(*p)); ++p) {
        if (!overflow) {
            value = value * 16 + HexValue(static_cast<unsigned char>(*p));
            if (value > limit) {
                overflow = true;
            }
        }
    }
    if (overflow) {
        return negative ? std::numeric_limits<std::int32_t>::min() : std::numeric_limits<std::int32_t>::max();
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

} // namespace orvtiw
