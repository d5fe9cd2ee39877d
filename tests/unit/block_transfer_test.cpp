#include <gtest/gtest.h>

#include <cstring>

#include "support/capture_log.h"
#include "support/scripted_card.h"
#include "support/test_channel.h"
#include "tiway/block_transfer.h"

namespace orvtiw {
namespace {

using test::Bytes;
using test::CaptureLog;
using test::ScriptedAnswer;
using test::ScriptedCard;
using test::TestChannel;
using test::VirtualPlatform;

const ScriptedAnswer kLost{ScriptedAnswer::Mode::AcknowledgeOnly, {}, 0, -1, 5};

class BlockTransferTest : public ::testing::Test {
protected:
    BlockTransferTest() : card(vp) {
        RegionOf(ch.inst, 'V') = RegionDef{0x01, 16, 1};
        RegionOf(ch.inst, 'X') = RegionDef{0x03, 8, 1};
        RegionOf(ch.inst, 'D') = RegionDef{0x0A, 16, 2};
        RegionOf(ch.inst, 'W') = RegionDef{0x0B, 32, 1};
        ch.openOn(vp.cardWindow(), 20);
        std::memset(area, 0xEE, sizeof area);
    }
    TransferRecord record(int plc, int regionId, int element, int count, int width, int bit = ORV_NO_BIT) {
        TransferRecord r{};
        r.plcAddress = plc;
        r.regionId = regionId;
        r.elementNumber = element;
        r.count = count;
        r.width = width;
        r.bitNumber = bit;
        r.data = area;
        return r;
    }
    std::uint16_t wordAt(int offset) const {
        std::uint16_t v;
        std::memcpy(&v, area + offset, 2);
        return v;
    }
    void setWordAt(int offset, std::uint16_t v) { std::memcpy(area + offset, &v, 2); }
    bool areaUntouched() const {
        for (std::uint8_t b : area) {
            if (b != 0xEE) {
                return false;
            }
        }
        return true;
    }
    CaptureLog log;
    VirtualPlatform vp;
    ScriptedCard card;
    TestChannel ch{3};
    std::uint8_t area[600];
};

TEST_F(BlockTransferTest, RoadOfOneRead) {
    card.queueReply(test::ReadReply({0x12, 0x34}));
    TransferRecord r = record(1, 'V', 100, 7, 16);
    EXPECT_EQ(ch.run(ORV_OP_READ_GATE, &r), 0);
    EXPECT_EQ(card.requests, std::vector<Bytes>{Bytes({0x01, 0x01, 0x00, 0x06, 0x20, 0x01, 0x00, 0x01, 0x00, 0x64})});
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(r.data, area + 2);
    EXPECT_EQ(wordAt(2), 0x1234);
    EXPECT_EQ(wordAt(0), 0xEEEE);
    EXPECT_TRUE(log.entries().empty());
}

TEST_F(BlockTransferTest, GateOfThirtyTwoBitsStaysAtOffset0) {
    card.queueReply(test::ReadReply({0x12, 0x34, 0x56, 0x78}));
    TransferRecord r = record(1, 'D' | 0x100, 3, 1, 32);
    EXPECT_EQ(ch.run(ORV_OP_READ_GATE, &r), 0);
    EXPECT_EQ(card.requests[0], (Bytes{0x01, 0x01, 0x00, 0x06, 0x20, 0x0A, 0x00, 0x02, 0x00, 0x07}));
    EXPECT_EQ(r.data, area);
    std::uint32_t v;
    std::memcpy(&v, area, 4);
    EXPECT_EQ(v, 0x12345678u);
}

TEST_F(BlockTransferTest, GatesOnAChannelWithoutCardAreRefusedSilently) {
    ch.inst.online = 0;
    for (int op : {ORV_OP_READ_GATE, ORV_OP_WRITE_GATE}) {
        TransferRecord r = record(1, 'V', 100, 7, 16);
        EXPECT_EQ(ch.run(op, &r), 1);
        EXPECT_EQ(r.count, 7);
        EXPECT_EQ(r.data, area);
    }
    EXPECT_TRUE(card.requests.empty());
    EXPECT_TRUE(log.entries().empty());
    // Blocks do not look at the card flag.
    card.queueReply(test::ReadReply({0, 1, 0, 2}));
    TransferRecord r = record(1, 'V', 100, 2, 16);
    EXPECT_EQ(ch.run(ORV_OP_READ_BLOCK, &r), 0);
    r = record(1, 'V', 100, 2, 16);
    EXPECT_EQ(ch.run(ORV_OP_WRITE_BLOCK, &r), 0);
}

TEST_F(BlockTransferTest, ReadRetriesFailedExchangesOnly) {
    card.queue(kLost);
    card.queue(kLost);
    card.queueReply(test::ReadReply({0xAB, 0xCD, 0x00, 0x01}));
    TransferRecord r = record(2, 'V', 1, 2, 16);
    EXPECT_EQ(ch.run(ORV_OP_READ_BLOCK, &r), 0);
    ASSERT_EQ(card.requests.size(), 3u);
    EXPECT_EQ(card.requests[0], card.requests[2]);
    EXPECT_EQ(wordAt(0), 0xABCD);
    EXPECT_EQ(wordAt(2), 0x0001);

    card.requests.clear();
    for (int i = 0; i < 3; ++i) {
        card.queue(kLost);
    }
    std::memset(area, 0xEE, sizeof area);
    r = record(2, 'V', 1, 2, 16);
    EXPECT_EQ(ch.run(ORV_OP_READ_BLOCK, &r), 2);
    EXPECT_EQ(card.requests.size(), 3u) << "no reconnection after failed exchanges";
    EXPECT_TRUE(areaUntouched());
}

TEST_F(BlockTransferTest, ErrorReplyReconnectsThenReadsAgain) {
    card.queueReply(test::PrimitiveErrorReply(0x02));
    card.queueReply(test::ConnectReply(4));
    card.queueReply(test::ReadReply({0x00, 0x2A}));
    TransferRecord r = record(4, 'V', 5, 1, 16);
    EXPECT_EQ(ch.run(ORV_OP_READ_BLOCK, &r), 0);
    ASSERT_EQ(card.requests.size(), 3u);
    EXPECT_EQ(card.requests[1], (Bytes{0x04, 0x04}));
    EXPECT_EQ(card.requests[2], card.requests[0]) << "the read request is built anew";
    EXPECT_EQ(wordAt(0), 42);
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{"ORV03: TIW: CheckReply() - primitive error: 0x0002",
                                        "ORV03: TIW: ReconnectSecondarys(): Succeed to connect secondary devices: 04"}));
}

TEST_F(BlockTransferTest, ErrorReplyEveryTimeNeverReportsTheConnectReplyAsData) {
    for (int i = 0; i < 3; ++i) {
        card.queueReply(test::MhiuErrorReply(0x0102));
        card.queueReply(test::ConnectReply(10));
    }
    TransferRecord r = record(10, 'V', 5, 1, 16);
    EXPECT_EQ(ch.run(ORV_OP_READ_BLOCK, &r), 2);
    EXPECT_EQ(card.requests.size(), 6u);
    EXPECT_TRUE(areaUntouched());
}

TEST_F(BlockTransferTest, FailedReconnectionEndsTheRead) {
    card.queueReply(test::MhiuErrorReply(0x0102));
    card.queueReply(test::ConnectReply(9));
    TransferRecord r = record(10, 'V', 5, 1, 16);
    EXPECT_EQ(ch.run(ORV_OP_READ_BLOCK, &r), 2);
    EXPECT_EQ(card.requests.size(), 2u);
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{"ORV03: TIW: CheckReply() - MHIU Error: 0x0102",
                                        "ORV03: TIW: Secondary 10 failed to connect!",
                                        "ORV03: TIW: ReconnectSecondarys(): Failed to connect secondary devices: 0A"}));
    EXPECT_TRUE(areaUntouched());
}

TEST_F(BlockTransferTest, ReplyShorterThanTheValuesAskedForIsAFailedExchange) {
    // A stale value stands in the reply buffer from an earlier read.
    card.queueReply(test::ReadReply({0x11, 0x11, 0x22, 0x22}));
    TransferRecord r = record(1, 'V', 1, 2, 16);
    ASSERT_EQ(ch.run(ORV_OP_READ_BLOCK, &r), 0);
    log.clear();
    card.requests.clear();
    std::memset(area, 0xEE, sizeof area);
    for (int i = 0; i < 3; ++i) {
        card.queueReply(test::ReadReply({0x33, 0x33})); // one word where two were asked for
    }
    r = record(1, 'V', 1, 2, 16);
    EXPECT_EQ(ch.run(ORV_OP_READ_BLOCK, &r), 2);
    EXPECT_EQ(card.requests.size(), 3u);
    EXPECT_TRUE(areaUntouched());
    ASSERT_EQ(log.entries().size(), 3u);
    EXPECT_EQ(log.entries()[0].level, 32);
    EXPECT_EQ(log.entries()[0].text, "ORV03: TIW: ReadBlock() Reply holds 2 data bytes, 4 expected");
}

TEST_F(BlockTransferTest, WriteRetriesErrorRepliesWithIdenticalRequests) {
    for (int i = 0; i < 3; ++i) {
        card.queueReply(test::PrimitiveErrorReply(0x01));
    }
    const std::uint16_t values[] = {0x1234, 0xABCD};
    std::memcpy(area, values, sizeof values);
    TransferRecord r = record(2, 'V', 1, 2, 16);
    EXPECT_EQ(ch.run(ORV_OP_WRITE_BLOCK, &r), 2);
    ASSERT_EQ(card.requests.size(), 3u);
    EXPECT_EQ(card.requests[0], (Bytes{0x01, 0x02, 0x00, 0x08, 0x30, 0x01, 0x00, 0x01, 0x12, 0x34, 0xAB, 0xCD}));
    EXPECT_EQ(card.requests[1], card.requests[0]);
    EXPECT_EQ(card.requests[2], card.requests[0]);
    EXPECT_EQ(log.entries().size(), 3u);

    card.requests.clear();
    card.queue(kLost);
    r = record(2, 'V', 1, 2, 16);
    EXPECT_EQ(ch.run(ORV_OP_WRITE_BLOCK, &r), 0) << "a lost exchange then a good reply";
    EXPECT_EQ(card.requests.size(), 2u);
}

TEST_F(BlockTransferTest, BitWritesReadChangeOneBitAndWriteBack) {
    struct Case {
        std::uint16_t current;
        int bit;
        std::uint16_t value;
        std::uint16_t written;
    } cases[] = {{0x1200, 3, 1, 0x1208}, {0x1208, 12, 0, 0x0208}, {0x1200, 3, 2, 0x1208}, {0xFFFF, 15, 0, 0x7FFF}};
    for (const Case &c : cases) {
        card.requests.clear();
        card.queueReply(test::ReadReply({static_cast<std::uint8_t>(c.current >> 8), static_cast<std::uint8_t>(c.current)}));
        setWordAt(2, c.value);
        TransferRecord r = record(1, 'V', 0x10, 1, 16, c.bit);
        EXPECT_EQ(ch.run(ORV_OP_WRITE_GATE, &r), 0);
        ASSERT_EQ(card.requests.size(), 2u);
        EXPECT_EQ(card.requests[0], (Bytes{0x01, 0x01, 0x00, 0x06, 0x20, 0x01, 0x00, 0x01, 0x00, 0x10}));
        EXPECT_EQ(card.requests[1], (Bytes{0x01, 0x01, 0x00, 0x06, 0x30, 0x01, 0x00, 0x10,
                                           static_cast<std::uint8_t>(c.written >> 8),
                                           static_cast<std::uint8_t>(c.written)}));
        EXPECT_EQ(r.bitNumber, 255);
        EXPECT_EQ(r.data, area + 2) << "left in the host's buffer, as a write of the word would leave it";
    }
}

TEST_F(BlockTransferTest, BitWriteOfABlockChangesTheFirstElementOnly) {
    card.queueReply(test::ReadReply({0x00, 0x00}));
    setWordAt(0, 1);
    TransferRecord r = record(1, 'V', 0x10, 5, 16, 0);
    EXPECT_EQ(ch.run(ORV_OP_WRITE_BLOCK, &r), 0);
    ASSERT_EQ(card.requests.size(), 2u);
    EXPECT_EQ(card.requests[0][7], 0x01) << "one element read back";
    EXPECT_EQ(card.requests[1], (Bytes{0x01, 0x01, 0x00, 0x06, 0x30, 0x01, 0x00, 0x10, 0x00, 0x01}));
}

TEST_F(BlockTransferTest, BitWriteWhoseReadBackFailsWritesNothing) {
    for (int i = 0; i < 3; ++i) {
        card.queue(kLost);
    }
    setWordAt(2, 1);
    TransferRecord r = record(1, 'V', 0x10, 1, 16, 3);
    EXPECT_EQ(ch.run(ORV_OP_WRITE_GATE, &r), 2);
    EXPECT_EQ(card.requests.size(), 3u);
    EXPECT_EQ(r.data, area + 2);
    for (const Bytes &q : card.requests) {
        EXPECT_EQ(q[4], 0x20);
    }
}

TEST_F(BlockTransferTest, SingleDiscreteGateIsWrittenWithoutReadBack) {
    setWordAt(2, 0x0101);
    TransferRecord r = record(1, 'X', 0x20, 1, 8, 0);
    EXPECT_EQ(ch.run(ORV_OP_WRITE_GATE, &r), 0);
    EXPECT_EQ(card.requests, std::vector<Bytes>{Bytes({0x01, 0x01, 0x00, 0x05, 0x30, 0x03, 0x00, 0x20, 0x01})});
}

TEST_F(BlockTransferTest, RecordsTheParserCouldNeverProduceAreRefused) {
    struct Case {
        int op;
        TransferRecord rec;
        std::string message;
    } cases[] = {
        {ORV_OP_READ_BLOCK, record(1, 'V', 1, -1, 16), "ORV03: TIW: Block size exceed maximum message size"},
        {ORV_OP_READ_BLOCK, record(1, 'V', 1, 129, 16), "ORV03: TIW: Block size exceed maximum message size"},
        {ORV_OP_WRITE_BLOCK, record(1, 'W', 1, 65, 32), "ORV03: TIW: Block size exceed maximum message size"},
        {ORV_OP_WRITE_BLOCK, record(1, 'X', 1, 0x7FFFFFFF, 8), "ORV03: TIW: Block size exceed maximum message size"},
        {ORV_OP_READ_BLOCK, record(1, 'a', 1, 1, 16), "ORV03: TIW: Invalid Data Region Id 0x61 in transfer record"},
        {ORV_OP_READ_BLOCK, record(1, '@', 1, 1, 16), "ORV03: TIW: Invalid Data Region Id 0x40 in transfer record"},
        {ORV_OP_READ_BLOCK, record(1, 'V' | 0x200, 1, 1, 16),
         "ORV03: TIW: Invalid Data Region Id 0x256 in transfer record"},
        {ORV_OP_READ_GATE, record(1, 'Q', 1, 1, 16), "ORV03: TIW: Invalid Data Region Id 0x51 in transfer record"},
        {ORV_OP_READ_GATE, record(1, 'V', 1, 1, 16, 16), "ORV03: TIW: Invalid bit number 16 in transfer record"},
        {ORV_OP_WRITE_GATE, record(1, 'V', 1, 1, 16, -1), "ORV03: TIW: Invalid bit number -1 in transfer record"},
        {ORV_OP_WRITE_GATE, record(1, 'D', 1, 1, 32, 3), "ORV03: TIW: Invalid bit number 3 in transfer record"},
        {ORV_OP_READ_BLOCK, record(1, 'V', 0x10064, 1, 16),
         "ORV03: TIW: Invalid element number 65636 in transfer record"},
        {ORV_OP_WRITE_BLOCK, record(1, 'D', 0x8000, 1, 32),
         "ORV03: TIW: Invalid element number 32768 in transfer record"},
        {ORV_OP_READ_GATE, record(1, 'V', -1, 1, 16), "ORV03: TIW: Invalid element number -1 in transfer record"},
        {ORV_OP_READ_BLOCK, record(1, 'V', 1, 2, 32), "ORV03: TIW: Invalid width 32 for data region V in transfer record"},
        {ORV_OP_READ_BLOCK, record(1, 'W', 1, 64, 8), "ORV03: TIW: Invalid width 8 for data region W in transfer record"},
        {ORV_OP_READ_GATE, record(0, 'V', 1, 1, 16), "ORV03: TIW: Invalid PLC address 0 in transfer record"},
        {ORV_OP_WRITE_BLOCK, record(0x101, 'V', 1, 1, 16), "ORV03: TIW: Invalid PLC address 257 in transfer record"},
        {ORV_OP_READ_BLOCK, record(1, 'V' | 0x100, 1, 1, 16),
         "ORV03: TIW: Invalid Data Region Id 0x156 in transfer record"},
        {ORV_OP_WRITE_GATE, record(1, 'X', 1, 1, 8, 3), "ORV03: TIW: Invalid bit number 3 in transfer record"},
        {ORV_OP_READ_BLOCK, record(1, 'V', 1, 16, 16, 5),
         "ORV03: TIW: Bit number 5 given for a read of 16 elements in transfer record"},
        {ORV_OP_READ_BLOCK, record(1, 'X', 1, 2, 8, 0),
         "ORV03: TIW: Bit number 0 given for a read of 2 elements in transfer record"},
    };
    for (Case &c : cases) {
        log.clear();
        const TransferRecord before = c.rec;
        EXPECT_EQ(ch.run(c.op, &c.rec), 1) << c.message;
        EXPECT_EQ(log.texts(), std::vector<std::string>{c.message});
        ASSERT_FALSE(log.entries().empty());
        EXPECT_EQ(log.entries()[0].level, 8);
        EXPECT_EQ(std::memcmp(&before, &c.rec, sizeof before), 0) << "record untouched: " << c.message;
    }
    TransferRecord noBuffer = record(1, 'V', 1, 1, 16);
    noBuffer.data = nullptr;
    log.clear();
    EXPECT_EQ(ch.run(ORV_OP_READ_BLOCK, &noBuffer), 1);
    EXPECT_EQ(log.texts(), std::vector<std::string>{"ORV03: TIW: No value buffer in transfer record"});
    EXPECT_TRUE(card.requests.empty());
    EXPECT_TRUE(areaUntouched());
}

TEST_F(BlockTransferTest, LargestBlocksFitAndCountZeroIsAllowed) {
    Bytes words(256);
    for (std::size_t i = 0; i < words.size(); ++i) {
        words[i] = static_cast<std::uint8_t>(i);
    }
    card.queueReply(test::ReadReply(words));
    TransferRecord r = record(1, 'V', 1, 128, 16);
    EXPECT_EQ(ch.run(ORV_OP_READ_BLOCK, &r), 0);
    EXPECT_EQ(wordAt(254), 0xFEFF);
    EXPECT_EQ(area[256], 0xEE);

    card.queueReply(test::ReadReply({}));
    r = record(1, 'X', 1, 0, 8);
    EXPECT_EQ(ch.run(ORV_OP_READ_BLOCK, &r), 0);

    std::memset(area, 0x01, 512);
    r = record(1, 'X', 1, 256, 8);
    EXPECT_EQ(ch.run(ORV_OP_WRITE_BLOCK, &r), 0);
    EXPECT_EQ(card.requests.back().size(), 264u);
}

} // namespace
} // namespace orvtiw
