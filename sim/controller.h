// One simulated controller (a TIWAY secondary): its memory, one region per
// TIWAY data-type code. Elements are numbered from 1, as the controllers
// number them: element 1 is the first of a region, element `count` the last.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tiwaysim {

inline constexpr std::uint32_t kMaxRegionElements = 65535; // element numbers travel as 16 bits

struct Region {
    std::uint8_t code = 0;         // TIWAY data-type code
    std::uint8_t elementBytes = 0; // 1, 2 or 4
    std::string name;              // for people reading traces and files; may be empty
    std::vector<std::uint8_t> bytes; // element values, big-endian, element 1 first

    std::uint32_t count() const { return static_cast<std::uint32_t>(bytes.size() / elementBytes); }
    // True when elements first .. first + n - 1 all exist.
    bool Covers(std::uint32_t first, std::uint32_t n) const;
    // Value of one element; the element must exist.
    std::uint32_t Get(std::uint32_t element) const;
    // Sets one element, keeping only the bits the element holds; the element must exist.
    void Set(std::uint32_t element, std::uint32_t value);
    std::uint8_t *At(std::uint32_t element) { return bytes.data() + (element - 1) * elementBytes; }
    const std::uint8_t *At(std::uint32_t element) const { return bytes.data() + (element - 1) * elementBytes; }
};

class Controller {
public:
    // Adds (or replaces) a region; false for an element size other than
    // 1, 2 or 4 or a count outside 1..kMaxRegionElements.
    bool AddRegion(std::uint8_t code, std::uint8_t elementBytes, std::uint32_t count, std::string name = {});
    Region *Find(std::uint8_t code);
    const Region *Find(std::uint8_t code) const;
    const std::vector<Region> &regions() const { return regions_; }
    std::vector<Region> &regions() { return regions_; }

private:
    std::vector<Region> regions_;
};

// The region set of a controller that no configuration describes: V, K, X,
// Y, C, WX, WY, TCP, TCC and a 32-bit region (code 0x0B), `count` elements each.
void AddDefaultRegions(Controller &c, std::uint32_t count = 1024);

// The name a known data-type code goes by, or "" (traces, files).
const char *TypeName(std::uint8_t code);

} // namespace tiwaysim
