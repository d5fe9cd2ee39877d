#include "map/gate_address.h"

#include <cstdio>

namespace orvgate {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::optional<std::uint32_t> Hex(std::string_view digits) {
    std::uint32_t value = 0;
    for (const char c : digits) {
        const int d = HexDigit(c);
        if (d < 0) {
            return std::nullopt;
        }
        value = value * 16 + static_cast<std::uint32_t>(d);
    }
    return value;
}

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

std::optional<AddressParts> SplitAddress(std::string_view text) {
    if (text.size() != 7 && text.size() != 8) {
        return std::nullopt;
    }
    const auto secondary = Hex(text.substr(0, 2));
    const char letter = Upper(text[2]);
    const auto element = Hex(text.substr(3, 4));
    const auto bit = text.size() == 8 ? Hex(text.substr(7, 1)) : std::optional<std::uint32_t>(0);
    if (!secondary || !element || !bit || letter < 'A' || letter > 'Z') {
        return std::nullopt;
    }
    AddressParts parts;
    parts.secondary = static_cast<std::int32_t>(*secondary);
    parts.letter = letter;
    parts.element = *element;
    parts.bit = text.size() == 8 ? static_cast<int>(*bit) : -1;
    return parts;
}

std::string FormatAddress(const AddressParts &parts) {
    char text[16];
    if (parts.bit >= 0) {
        std::snprintf(text, sizeof text, "%02X%c%04X%X", static_cast<unsigned>(parts.secondary), parts.letter,
                      static_cast<unsigned>(parts.element), static_cast<unsigned>(parts.bit));
    } else {
        std::snprintf(text, sizeof text, "%02X%c%04X", static_cast<unsigned>(parts.secondary), parts.letter,
                      static_cast<unsigned>(parts.element));
    }
    return text;
}

std::int32_t ElementsPerValue(const orvtiw::host::Gate &gate) {
    const auto parts = SplitAddress(gate.address);
    return parts && parts->element != static_cast<std::uint32_t>(gate.decoded.elementNumber) ? 2 : 1;
}

orvtiw::host::Gate PartOf(const orvtiw::host::Gate &block, std::int32_t offset, std::int32_t count) {
    orvtiw::host::Gate part = block;
    part.decoded.elementNumber += offset;
    part.count = count;
    part.block = true;
    if (auto parts = SplitAddress(block.address)) {
        parts->element += static_cast<std::uint32_t>(offset * ElementsPerValue(block));
        part.address = FormatAddress(*parts);
    }
    return part;
}

} // namespace orvgate
