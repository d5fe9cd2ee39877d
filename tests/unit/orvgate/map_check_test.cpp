// A map as the driver's address check judges it: refusals name the map's
// line and carry the driver's reason, and an accepted range knows where its
// values lie in the driver's own terms.
#include <gtest/gtest.h>

#include "map/gate_address.h"
#include "offline_map.h"

namespace orvgate {
namespace {

using orvtiw::host::ValueType;
using test::OfflineMap;

struct Refusal {
    const char *range;
    const char *error;
};

void PrintTo(const Refusal &r, std::ostream *out) {
    *out << r.range;
}

class MapCheckRefuses : public ::testing::TestWithParam<Refusal> {};

TEST_P(MapCheckRefuses, NamingTheLine) {
    const OfflineMap map(std::string("channel 1 a.int\nholding 1 0 01V0001 8 int16\n") + GetParam().range);
    EXPECT_FALSE(map.ranges);
    EXPECT_NE(map.error.find(GetParam().error), std::string::npos) << map.error;
    EXPECT_EQ(map.error.rfind("line 3: ", 0), 0u) << map.error;
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, MapCheckRefuses,
    ::testing::Values(
        // Types the region does not hold: the driver's own messages.
        Refusal{"holding 1 100 01D0010 2 int16\n", "Must use 32-bit value in 16 bit region with double element"},
        Refusal{"holding 1 100 01V0010 2 float high-first\n", "Must be (un)signed16 if no bit"},
        Refusal{"discrete 1 0 01V0010 2 points\n", "Must be (un)signed16 if no bit"},
        Refusal{"coils 1 0 01X00013 2 bits\n", "Bit number not allowed in single byte (discrete) regions"},
        Refusal{"holding 1 100 01Q0001 2 int16\n", "Tiw-parse Invalid Data Region Id (Q)"},
        Refusal{"holding 1 100 00V0001 2 int16\n", "Illegal PLC Address"},
        // The block size limit: 129 words are 258 bytes.
        Refusal{"holding 1 100 01V0100 129 int16\n", "Block size exceed maximum message size"},
        // Limits of the map itself.
        Refusal{"holding 1 100 01VFFF0 32 uint16\n", "run past the last element of the region"},
        Refusal{"holding 1 100 01DFFFE 2 uint32 high-first\n", "run past the last element of the region"},
        Refusal{"coils 1 0 01V0010C 5 bits\n", "5 bits from bit 12 run past bit 15"},
        Refusal{"holding 1 7 01V0100 2 int16\n", "holding 7..8 of unit 1 overlap line 2 (0..7)"},
        Refusal{"holding 247 0 01V0100 2 int16\n", "unit 247 is the gateway's own"}));

TEST(MapCheck, AcceptedRangesKnowTheirValuesInTheDriversTerms) {
    const OfflineMap map("channel 1 a.int\n"
                         "holding 1 0 01D0007 3 float high-first\n"
                         "coils 1 0 01V00645 4 bits rw\n"
                         "discrete 1 0 01X0010 20 points\n"
                         "channel 2 b.int\n"
                         "input 1 0 02L0002 2 uint32 low-first\n"
                         "holding 3 0 02V0001 4 int16\n" // other tables and units may share addresses
                         "holding 2 0 02V0001 4 int16\n");
    ASSERT_TRUE(map.ranges) << map.error;
    const std::vector<CheckedRange> &r = *map.ranges;
    ASSERT_EQ(r.size(), 6u);

    // Element 7 of a double region: the fourth 32-bit value, odd.
    EXPECT_EQ(r[0].span.regionId, 'D' | 0x100);
    EXPECT_EQ(r[0].span.first, 3);
    EXPECT_EQ(r[0].span.units, 3);
    EXPECT_EQ(r[0].span.unitBytes, 4);
    EXPECT_EQ(ElementsPerValue(r[0].gate), 2);
    EXPECT_TRUE(r[0].gate.block);

    // Bits: the word without its bit, read and written whole.
    EXPECT_EQ(r[1].gate.address, "01V0064");
    EXPECT_EQ(r[1].gate.decoded.bitNumber, ORV_NO_BIT);
    EXPECT_EQ(r[1].firstBit, 5);
    EXPECT_EQ(r[1].span.units, 1);

    EXPECT_EQ(r[2].span.unitBytes, 1);
    EXPECT_EQ(r[2].span.units, 20);
    EXPECT_EQ(r[3].span.channel, 2);
    EXPECT_EQ(r[3].span.first, 2);
    EXPECT_EQ(ElementsPerValue(r[3].gate), 1);
}

// Writes of part of a range use the range's gate moved on; the driver must
// decode the address of that first value the same way.
TEST(MapCheck, PartOfAGateIsWhatTheDriverDecodesForItsFirstValue) {
    OfflineMap map("channel 1 a.int\n"
                   "holding 1 0 01D0007 10 uint32 high-first\n"
                   "holding 1 100 01D0010 10 uint32 high-first\n"
                   "holding 1 200 01L0003 10 uint32 high-first\n"
                   "holding 1 300 01V0100 10 uint16\n"
                   "coils 1 0 01Y0020 10 points\n");
    ASSERT_TRUE(map.ranges) << map.error;
    for (const CheckedRange &c : *map.ranges) {
        for (const std::int32_t offset : {0, 1, 4}) {
            const orvtiw::host::Gate part = PartOf(c.gate, offset, 3);
            const auto driver = map.Check(1, part.address, c.gate.type, 3, true);
            ASSERT_TRUE(driver.ok()) << part.address;
            EXPECT_EQ(part.decoded.regionId, driver.gate.decoded.regionId) << part.address;
            EXPECT_EQ(part.decoded.elementNumber, driver.gate.decoded.elementNumber) << part.address;
            EXPECT_EQ(part.decoded.bitNumber, driver.gate.decoded.bitNumber) << part.address;
            EXPECT_EQ(part.decoded.width, driver.gate.decoded.width) << part.address;
            EXPECT_EQ(part.count, 3);
        }
    }
    EXPECT_EQ(PartOf((*map.ranges)[0].gate, 4, 1).address, "01D000F");
}

} // namespace
} // namespace orvgate
