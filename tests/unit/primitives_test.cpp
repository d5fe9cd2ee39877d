#include <gtest/gtest.h>

#include <cstring>

#include "support/capture_log.h"
#include "support/scripted_card.h"
#include "support/test_channel.h"
#include "tiway/primitives.h"

namespace orvtiw {
namespace {

using test::Bytes;
using test::CaptureLog;
using test::TestChannel;

class PrimitivesTest : public ::testing::Test {
protected:
    PrimitivesTest() {
        RegionOf(ch.inst, 'V') = RegionDef{0x01, 16, 1};
        RegionOf(ch.inst, 'X') = RegionDef{0x03, 8, 1};
        RegionOf(ch.inst, 'D') = RegionDef{0x01, 16, 2};
        RegionOf(ch.inst, 'W') = RegionDef{0x0B, 32, 1};
    }
    TransferRecord record(int plc, int regionId, int element, int count, void *data, int width = 16,
                          int bit = ORV_NO_BIT) {
        TransferRecord r{};
        r.plcAddress = plc;
        r.regionId = regionId;
        r.elementNumber = element;
        r.count = count;
        r.data = data;
        r.width = width;
        r.bitNumber = bit;
        return r;
    }
    Bytes request() const { return Bytes(ch.inst.request, ch.inst.request + ch.inst.requestLength); }
    void setReply(const Bytes &afterLength) {
        std::memset(ch.inst.reply, 0, sizeof ch.inst.reply);
        ch.inst.reply[0] = static_cast<std::uint8_t>(afterLength.size() >> 8);
        ch.inst.reply[1] = static_cast<std::uint8_t>(afterLength.size());
        std::copy(afterLength.begin(), afterLength.end(), ch.inst.reply + 2);
    }
    CaptureLog log;
    TestChannel ch;
};

TEST_F(PrimitivesTest, ReadRequestsForEveryRegionShape) {
    struct Case {
        TransferRecord rec;
        Bytes expected;
    } cases[] = {
        {record(1, 'V', 100, 1, nullptr), {0x01, 0x01, 0x00, 0x06, 0x20, 0x01, 0x00, 0x01, 0x00, 0x64}},
        {record(3, 'V', 100, 5, nullptr), {0x01, 0x03, 0x00, 0x06, 0x20, 0x01, 0x00, 0x05, 0x00, 0x64}},
        {record(2, 'D' | 0x100, 50, 2, nullptr, 32), {0x01, 0x02, 0x00, 0x06, 0x20, 0x01, 0x00, 0x04, 0x00, 0x65}},
        {record(2, 'D', 50, 2, nullptr, 32), {0x01, 0x02, 0x00, 0x06, 0x20, 0x01, 0x00, 0x04, 0x00, 0x64}},
        {record(31, 'X', 0x00A0, 256, nullptr, 8), {0x01, 0x1F, 0x00, 0x06, 0x20, 0x03, 0x01, 0x00, 0x00, 0xA0}},
        {record(4, 'W', 0xFFFF, 64, nullptr, 32), {0x01, 0x04, 0x00, 0x06, 0x20, 0x0B, 0x00, 0x40, 0xFF, 0xFF}},
    };
    for (const Case &c : cases) {
        std::memset(ch.inst.request, 0xEE, sizeof ch.inst.request);
        EXPECT_EQ(BuildPrimitive(ch.inst, c.rec, kBuildRead), 0);
        EXPECT_EQ(+ch.inst.requestLength, 10);
        EXPECT_EQ(request(), c.expected) << "region " << static_cast<char>(c.rec.regionId & 0xFF);
        EXPECT_EQ(+ch.inst.request[10], 0) << "the whole buffer is cleared first";
    }
}

TEST_F(PrimitivesTest, WriteRequestsForEveryRegionShape) {
    const std::uint16_t words[] = {0x1234, 0xABCD};
    TransferRecord v = record(2, 'V', 1, 2, const_cast<std::uint16_t *>(words));
    BuildPrimitive(ch.inst, v, kBuildWrite);
    EXPECT_EQ(request(), (Bytes{0x01, 0x02, 0x00, 0x08, 0x30, 0x01, 0x00, 0x01, 0x12, 0x34, 0xAB, 0xCD}));

    // Discrete: one 16-bit slot per element, its low-order byte is sent.
    std::uint8_t slots[] = {0x01, 0x00, 0x00, 0x00, 0x01, 0x00};
    BuildPrimitive(ch.inst, record(2, 'X', 10, 3, slots, 8), kBuildWrite);
    EXPECT_EQ(request(), (Bytes{0x01, 0x02, 0x00, 0x07, 0x30, 0x03, 0x00, 0x0A, 0x01, 0x00, 0x01}));
    const std::uint16_t both = 0x0101;
    BuildPrimitive(ch.inst, record(2, 'X', 10, 1, const_cast<std::uint16_t *>(&both), 8), kBuildWrite);
    EXPECT_EQ(+ch.inst.request[8], 0x01);

    // Double region: the high half goes to the lower-numbered element; 4 bytes read.
    std::uint8_t host[8] = {};
    const std::uint32_t value = 0x12345678;
    std::memcpy(host, &value, 4);
    std::memset(host + 4, 0xEE, 4);
    BuildPrimitive(ch.inst, record(2, 'D', 50, 1, host, 32), kBuildWrite);
    EXPECT_EQ(request(), (Bytes{0x01, 0x02, 0x00, 0x08, 0x30, 0x01, 0x00, 0x64, 0x12, 0x34, 0x56, 0x78}));
    for (int i = 12; i < 16; ++i) {
        EXPECT_EQ(+ch.inst.request[i], 0) << "request byte " << i << ": no host value past the count is taken";
    }
    BuildPrimitive(ch.inst, record(2, 'D' | 0x100, 50, 1, host, 32), kBuildWrite);
    EXPECT_EQ(+ch.inst.request[7], 0x65);

    const std::uint32_t longs[] = {1, 0xFFFFFFFF};
    BuildPrimitive(ch.inst, record(2, 'W', 7, 2, const_cast<std::uint32_t *>(longs), 32), kBuildWrite);
    EXPECT_EQ(+ch.inst.requestLength, 16);
    EXPECT_EQ(request(), (Bytes{0x01, 0x02, 0x00, 0x0C, 0x30, 0x0B, 0x00, 0x07, 0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF}));

    // A block of no elements is a primitive for no elements.
    BuildPrimitive(ch.inst, record(2, 'V', 1, 0, nullptr), kBuildWrite);
    EXPECT_EQ(request(), (Bytes{0x01, 0x02, 0x00, 0x04, 0x30, 0x01, 0x00, 0x01}));
}

TEST_F(PrimitivesTest, CheckReplyJudgesKindsAndLogsTheCode) {
    struct Case {
        Bytes reply;
        int status;
        std::string message;
    } cases[] = {
        {{0x00, 0x01, 0x02}, 2, "ORV03: TIW: CheckReply() - MHIU Error: 0x0102"},
        {{0x01, 0x00, 0x00, 0x00, 0x0B}, 2, "ORV03: TIW: CheckReply() - primitive error: 0x000B"},
        {{0x01, 0x00, 0x00, 0x20, 0x00}, 0, ""},
        {{0x02, 0x00, 0x00, 0x00, 0x00}, 0, ""},
        {{0xFF}, 0, ""},
    };
    for (const Case &c : cases) {
        log.clear();
        setReply(c.reply);
        EXPECT_EQ(CheckReply(ch.inst), c.status);
        EXPECT_EQ(CheckReply(ch.inst), c.status) << "judging twice gives the same";
        if (c.message.empty()) {
            EXPECT_TRUE(log.entries().empty());
        } else {
            ASSERT_EQ(log.entries().size(), 2u);
            EXPECT_EQ(log.entries()[0].text, c.message);
            EXPECT_EQ(log.entries()[0].level, 32);
        }
    }
}

TEST_F(PrimitivesTest, UnpackBitsAndDiscretePoints) {
    std::uint16_t out = 0xEEEE;
    setReply({0x01, 0, 0, 0x20, 0, 0, 0x00, 0x08});
    UnpackReadData(ch.inst, record(1, 'V', 1, 1, &out, 16, 3));
    EXPECT_EQ(out, 1);
    UnpackReadData(ch.inst, record(1, 'V', 1, 1, &out, 16, 2));
    EXPECT_EQ(out, 0);
    setReply({0x01, 0, 0, 0x20, 0, 0, 0x03});
    UnpackReadData(ch.inst, record(1, 'X', 1, 1, &out, 8, 0));
    EXPECT_EQ(out, 1);
    setReply({0x01, 0, 0, 0x20, 0, 0, 0xFE});
    UnpackReadData(ch.inst, record(1, 'X', 1, 1, &out, 8, 0));
    EXPECT_EQ(out, 0);
}

TEST_F(PrimitivesTest, UnpackBlocksWritesExactlyTheirValues) {
    std::uint8_t bytes[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    setReply({0x01, 0, 0, 0x20, 0, 0, 0x01, 0x00, 0x01});
    UnpackReadData(ch.inst, record(1, 'X', 1, 3, bytes, 8));
    EXPECT_EQ(Bytes(bytes, bytes + 4), (Bytes{0x01, 0x00, 0x01, 0xEE}));

    std::uint16_t words[3] = {0xEEEE, 0xEEEE, 0xEEEE};
    setReply({0x01, 0, 0, 0x20, 0, 0, 0x12, 0x34, 0xFF, 0x01});
    UnpackReadData(ch.inst, record(1, 'V', 1, 2, words, 16));
    EXPECT_EQ(words[0], 0x1234);
    EXPECT_EQ(words[1], 0xFF01);
    EXPECT_EQ(words[2], 0xEEEE);

    std::uint32_t longs[2] = {0xEEEEEEEE, 0xEEEEEEEE};
    setReply({0x01, 0, 0, 0x20, 0, 0, 0x12, 0x34, 0x56, 0x78});
    UnpackReadData(ch.inst, record(1, 'D', 1, 1, longs, 32));
    EXPECT_EQ(longs[0], 0x12345678u);
    EXPECT_EQ(longs[1], 0xEEEEEEEEu);

    std::uint16_t untouched = 0xEEEE;
    UnpackReadData(ch.inst, record(1, 'V', 1, 1, &untouched, 24));
    EXPECT_EQ(untouched, 0xEEEE) << "no other width writes anything";
}

} // namespace
} // namespace orvtiw
