// Cases the fuzz targets found, kept as focused tests.
#include <gtest/gtest.h>

#include <cstdint>

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
// The read is either refused or sent with the low 16 bits of 2e + odd.
class HugeElementInDoubleRegion : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(HugeElementInDoubleRegion, IsRefusedOrSentWithTheLowSixteenBits) {
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
        const int status = ch.run(ORV_OP_READ_BLOCK, &r);
        if (status == 1) {
            EXPECT_TRUE(card.requests.empty());
            continue;
        }
        ASSERT_FALSE(card.requests.empty());
        const auto expected = static_cast<std::uint16_t>(2u * static_cast<std::uint32_t>(GetParam()) + (odd ? 1u : 0u));
        const test::Bytes &request = card.requests.front();
        ASSERT_EQ(request.size(), 10u);
        EXPECT_EQ(request[8] << 8 | request[9], expected) << "odd " << odd;
    }
}

INSTANTIATE_TEST_SUITE_P(Elements, HugeElementInDoubleRegion,
                         ::testing::Values(0x40000000, 0x7FFFFFFF, -0x40000001, INT32_MIN));

} // namespace
} // namespace orvtiw
