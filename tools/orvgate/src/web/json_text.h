// Small helpers for writing JSON by hand: the web view's few documents are
// flat enough that a library would add more than it saves.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace orvgate::web {

// A JSON string, quoted, with control characters and anything outside
// ASCII's printable range escaped (the driver's texts are code page 437).
inline std::string Quoted(const std::string &text) {
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c >= 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

inline std::string Number(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

inline std::string Number(std::uint64_t value) {
    return std::to_string(value);
}

} // namespace orvgate::web
