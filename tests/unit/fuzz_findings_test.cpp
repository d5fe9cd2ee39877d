// Cases the fuzz targets found, kept as focused tests.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/capture_log.h"
#include "support/scripted_card.h"
#include "support/test_channel.h"

namespace orvtiw {
namespace {

using test::CaptureLog;
using test::ScriptedCard;
using test::TestChannel;
using test::VirtualPlatform;

// A host record whose element number no parsed address can carry: a double
// region doubles it into the controller element, which must not overflow.
// Such a read is refused before anything is sent, since its low 16 bits
// would name another element.
class HugeElementInDoubleRegion : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(HugeElementInDoubleRegion, IsRefusedBeforeAnyExchange) {
    CaptureLog log;
    VirtualPlatform vp;
    ScriptedCard card(vp);
    TestChannel ch(3);
    RegionOf(ch.inst, 'D') = RegionDef{0x0A, 16, 2};
    ch.openOn(vp.cardWindow(), 20);
    for (const bool odd : {false, true}) {
        card.requests.clear();
        std::uint32_t value = 0;
        TransferRecord r{};
        r.plcAddress = 1;
        r.regionId = 'D' | (odd ? 0x100 : 0);
        r.elementNumber = GetParam();
        r.bitNumber = ORV_NO_BIT;
        r.width = 32;
        r.count = 1;
        r.data = &value;
        log.clear();
        EXPECT_EQ(ch.run(ORV_OP_READ_BLOCK, &r), 1) << "odd " << odd;
        EXPECT_TRUE(card.requests.empty());
        EXPECT_EQ(log.texts(), std::vector<std::string>{"ORV03: TIW: Invalid element number " +
                                                        std::to_string(GetParam()) + " in transfer record"});
    }
}

INSTANTIATE_TEST_SUITE_P(Elements, HugeElementInDoubleRegion,
                         ::testing::Values(0x40000000, 0x7FFFFFFF, -0x40000001, INT32_MIN));

} // namespace
} // namespace orvtiw
