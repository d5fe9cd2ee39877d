#include "controller.h"

#include <algorithm>

namespace tiwaysim {

bool Region::Covers(std::uint32_t first, std::uint32_t n) const {
    return first >= 1 && static_cast<std::uint64_t>(first) - 1 + n <= count();
}

std::uint32_t Region::Get(std::uint32_t element) const {
    const std::uint8_t *p = At(element);
    std::uint32_t v = 0;
    for (std::uint8_t i = 0; i < elementBytes; ++i) {
        v = v << 8 | p[i];
    }
    return v;
}

void Region::Set(std::uint32_t element, std::uint32_t value) {
    std::uint8_t *p = At(element);
    for (int i = elementBytes - 1; i >= 0; --i) {
        p[i] = static_cast<std::uint8_t>(value & 0xFF);
        value >>= 8;
    }
}

bool Controller::AddRegion(std::uint8_t code, std::uint8_t elementBytes, std::uint32_t count, std::string name) {
    if ((elementBytes != 1 && elementBytes != 2 && elementBytes != 4) || count == 0 || count > kMaxRegionElements) {
        return false;
    }
    Region r;
    r.code = code;
    r.elementBytes = elementBytes;
    r.name = name.empty() ? TypeName(code) : std::move(name);
    r.bytes.assign(static_cast<std::size_t>(count) * elementBytes, 0);
    auto same = std::find_if(regions_.begin(), regions_.end(), [code](const Region &x) { return x.code == code; });
    if (same != regions_.end()) {
        *same = std::move(r);
    } else {
        regions_.push_back(std::move(r));
    }
    return true;
}

Region *Controller::Find(std::uint8_t code) {
    for (Region &r : regions_) {
        if (r.code == code) {
            return &r;
        }
    }
    return nullptr;
}

const Region *Controller::Find(std::uint8_t code) const {
    return const_cast<Controller *>(this)->Find(code);
}

void AddDefaultRegions(Controller &c, std::uint32_t count) {
    struct Entry {
        std::uint8_t code, bytes;
    };
    constexpr Entry kDefaults[] = {{0x01, 2}, {0x02, 2}, {0x03, 1}, {0x04, 1}, {0x05, 1},
                                   {0x09, 2}, {0x0A, 2}, {0x0E, 2}, {0x0F, 2}, {0x0B, 4}};
    for (const Entry &e : kDefaults) {
        c.AddRegion(e.code, e.bytes, count);
    }
}

const char *TypeName(std::uint8_t code) {
    switch (code) {
    case 0x01: return "V";
    case 0x02: return "K";
    case 0x03: return "X";
    case 0x04: return "Y";
    case 0x05: return "C";
    case 0x09: return "WX";
    case 0x0A: return "WY";
    case 0x0B: return "L";
    case 0x0E: return "TCP";
    case 0x0F: return "TCC";
    default: return "";
    }
}

} // namespace tiwaysim
