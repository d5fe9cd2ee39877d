#include "starter_map.h"

#include <cstdio>
#include <map>
#include <utility>

namespace orvhost {
namespace {

// How one region travels in the map: its table and type, the values one
// block read of 256 bytes holds, and what one value takes.
struct Layout {
    const char *table;
    const char *type;
    std::uint32_t valuesPerLine;
    std::uint32_t slotsPerValue;    // coils or registers
    std::uint32_t elementsPerValue; // 16-bit elements in a double region
};

Layout LayoutOf(RegionKind kind) {
    switch (kind) {
    case RegionKind::Discrete:
        return {"discrete", "points", 256, 1, 1};
    case RegionKind::Word:
        return {"holding", "int16", 128, 1, 1};
    case RegionKind::Double:
        return {"holding", "int32 high-first", 64, 2, 2};
    case RegionKind::Long:
        return {"holding", "int32 high-first", 64, 2, 1};
    }
    return {"holding", "int16", 128, 1, 1};
}

const char *Describe(RegionKind kind) {
    switch (kind) {
    case RegionKind::Discrete:
        return "discrete points";
    case RegionKind::Word:
        return "16-bit words";
    case RegionKind::Double:
        return "16-bit words, read in pairs as 32-bit values";
    case RegionKind::Long:
        return "32-bit elements";
    }
    return "";
}

constexpr std::uint32_t kAddressSpace = 65536; // Modbus addresses of one table of one unit

} // namespace

std::string StarterMap(const Discovered &found, const std::string &initFile) {
    std::string out;
    char line[256];
    out += "# A starter map for orvgate, made by orvhost discover on channel " + std::to_string(found.channel) +
           ": every\n"
           "# region of every secondary that answered, read-only, the secondary's address\n"
           "# as its unit. Make it yours: add rw where clients may write, give 32-bit\n"
           "# values their type (int32, uint32 or float), move measurements to input\n"
           "# registers and outputs to coils, drop what no client needs (every range is\n"
           "# scanned). Check it with: orvgate --check --map FILE. Syntax: orvgate's README.\n"
           "#\n"
           "#   channel NUMBER INITFILE\n"
           "#   TABLE UNIT ADDRESS GATE COUNT TYPE [ORDER] [rw]\n\n";
    out += "channel " + std::to_string(found.channel) + " " + initFile + "\n";
    for (const SecondaryFound &s : found.secondaries) {
        std::snprintf(line, sizeof line, "\n# Secondary %d (unit %d).\n", s.address, s.address);
        out += line;
        std::map<std::string, std::uint32_t> next; // the next free address of each table of this unit
        for (const RegionSize &r : s.regions) {
            const Layout layout = LayoutOf(r.shape.kind);
            const std::uint32_t values = r.elements / layout.elementsPerValue;
            if (values == 0) {
                continue;
            }
            std::uint32_t &address = next[layout.table];
            const std::uint32_t room = (kAddressSpace - address) / layout.slotsPerValue;
            const std::uint32_t mapped = values < room ? values : room;
            std::snprintf(line, sizeof line, "# %c: %u %s, %s..%s -> %s %u..%u\n", r.shape.letter, r.elements,
                          Describe(r.shape.kind), GateAddress(s.address, r.shape.letter, 1).c_str(),
                          GateAddress(s.address, r.shape.letter, r.elements).c_str(), layout.table, address,
                          address + mapped * layout.slotsPerValue - 1);
            out += line;
            for (std::uint32_t v = 0; v < mapped; v += layout.valuesPerLine) {
                const std::uint32_t count = mapped - v < layout.valuesPerLine ? mapped - v : layout.valuesPerLine;
                const std::uint32_t element = 1 + v * layout.elementsPerValue;
                std::snprintf(line, sizeof line, "%s %d %u %s %u %s\n", layout.table, s.address,
                              address + v * layout.slotsPerValue,
                              GateAddress(s.address, r.shape.letter, element).c_str(), count, layout.type);
                out += line;
            }
            if (mapped < values) {
                std::snprintf(line, sizeof line, "# (%s of unit %d is full: %u values of %c are not mapped)\n",
                              layout.table, s.address, values - mapped, r.shape.letter);
                out += line;
            }
            address += mapped * layout.slotsPerValue;
        }
    }
    return out;
}

} // namespace orvhost
