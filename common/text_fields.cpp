#include "text_fields.h"

#include <charconv>

namespace orvtiw::text {
namespace {

std::optional<std::uint32_t> Convert(std::string_view text, int base, std::uint32_t max) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const char *end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    if (ec != std::errc() || ptr != end || value > max) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

bool HasHexPrefix(std::string_view text) {
    return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

} // namespace

std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n')) {
            ++i;
        }
        if (i >= line.size() || line[i] == '#') {
            break;
        }
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '\n' &&
               line[i] != '#') {
            ++i;
        }
        fields.push_back(line.substr(start, i - start));
    }
    return fields;
}

std::optional<std::uint32_t> ParseNumber(std::string_view text, std::uint32_t max) {
    if (HasHexPrefix(text)) {
        return Convert(text.substr(2), 16, max);
    }
    return Convert(text, 10, max);
}

std::optional<std::uint32_t> ParseHex(std::string_view text, std::uint32_t max) {
    return Convert(HasHexPrefix(text) ? text.substr(2) : text, 16, max);
}

std::optional<bool> ParseSwitch(std::string_view text) {
    if (text == "on" || text == "1" || text == "true") {
        return true;
    }
    if (text == "off" || text == "0" || text == "false") {
        return false;
    }
    return std::nullopt;
}

} // namespace orvtiw::text
