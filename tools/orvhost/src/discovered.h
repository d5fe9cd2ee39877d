// What a discovery found on one channel: the regions the driver took from
// the initialisation file (and the predefined ones), the secondaries that
// answered, and the size of each region in each of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvhost {

// A region as the driver's address check shows it.
enum class RegionKind {
    Discrete, // 8-bit elements
    Word,     // 16-bit elements, one a value
    Double,   // 16-bit elements, two a 32-bit value
    Long,     // 32-bit elements
};

struct RegionShape {
    char letter = 'V';
    RegionKind kind = RegionKind::Word;
};

struct RegionSize {
    RegionShape shape;
    // Elements as the driver numbers them (16-bit ones in a double region);
    // 0 when the controller refuses element 1.
    std::uint32_t elements = 0;
    // A double region whose first pair of elements does not read: the
    // controller has at most one element there.
    bool underOneValue = false;
    int reads = 0;
};

struct SecondaryFound {
    int address = 0;
    std::vector<RegionSize> regions;
};

struct Discovered {
    int channel = 1;
    std::vector<RegionShape> regions;
    std::vector<int> probed;
    std::vector<SecondaryFound> secondaries;
    long exchanges = 0;
    double seconds = 0;
};

const char *KindName(RegionKind kind);
// The gate address of an element: "02V03E8".
std::string GateAddress(int secondary, char letter, std::uint32_t element);

} // namespace orvhost
