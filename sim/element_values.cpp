#include "element_values.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "text_fields.h"

using orvtiw::text::ParseNumber;

namespace tiwaysim {
namespace {

// A float is written with a point or an exponent; 0x12E is a whole number.
bool LooksLikeFloat(std::string_view text) {
    if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return false;
    }
    return text.find_first_of(".eE") != std::string_view::npos;
}

std::optional<std::uint32_t> ParseFloatBits(std::string_view text) {
    double value = 0;
    const char *end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || !std::isfinite(static_cast<float>(value))) {
        return std::nullopt;
    }
    return std::bit_cast<std::uint32_t>(static_cast<float>(value));
}

} // namespace

std::uint32_t ElementsPerValue(const Region &region, bool asFloat) {
    return asFloat && region.elementBytes == 2 ? 2 : 1;
}

std::optional<std::vector<std::uint32_t>> ParseElementValues(std::span<const std::string_view> texts,
                                                             const Region &region, std::string &problem) {
    const std::uint32_t max = region.elementBytes == 4 ? 0xFFFFFFFFu : (1u << (8 * region.elementBytes)) - 1;
    std::vector<std::uint32_t> values;
    for (const std::string_view text : texts) {
        if (LooksLikeFloat(text)) {
            const auto bits = region.elementBytes == 1 ? std::nullopt : ParseFloatBits(text);
            if (!bits) {
                problem = "value '" + std::string(text) + "' is not a float a 16- or 32-bit region holds";
                return std::nullopt;
            }
            if (region.elementBytes == 2) {
                values.push_back(*bits >> 16);
                values.push_back(*bits & 0xFFFFu);
            } else {
                values.push_back(*bits);
            }
            continue;
        }
        const auto v = ParseNumber(text, max);
        if (!v) {
            problem = "value '" + std::string(text) + "' does not fit the element";
            return std::nullopt;
        }
        values.push_back(*v);
    }
    return values;
}

std::string FormatElementValues(const Region &region, std::uint32_t first, std::uint32_t count, bool asFloat) {
    std::string out;
    char buf[32];
    const std::uint32_t step = ElementsPerValue(region, asFloat);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t element = first + i * step;
        if (asFloat) {
            const std::uint32_t bits =
                step == 2 ? region.Get(element) << 16 | region.Get(element + 1) : region.Get(element);
            // The shortest text that reads back as the same float: 21.5, not 21.5000000.
            const auto end = std::to_chars(buf, buf + sizeof buf - 1, std::bit_cast<float>(bits)).ptr;
            *end = '\0';
        } else {
            std::snprintf(buf, sizeof buf, "0x%0*X", 2 * region.elementBytes, region.Get(element));
        }
        out += (i == 0 ? "" : " ");
        out += buf;
    }
    return out;
}

} // namespace tiwaysim
