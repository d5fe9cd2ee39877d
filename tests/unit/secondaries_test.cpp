#include <gtest/gtest.h>

#include <cstring>

#include "support/capture_log.h"
#include "support/scripted_card.h"
#include "support/test_channel.h"
#include "tiway/secondaries.h"

namespace orvtiw {
namespace {

using test::Bytes;
using test::CaptureLog;
using test::ScriptedAnswer;
using test::ScriptedCard;
using test::TestChannel;
using test::VirtualPlatform;

class SecondariesTest : public ::testing::Test {
protected:
    SecondariesTest() : card(vp) {
        ch.openOn(vp.cardWindow());
        card.responder = [](const Bytes &request) { return test::ConnectReply(request[1]); };
    }
    CaptureLog log;
    VirtualPlatform vp;
    ScriptedCard card;
    TestChannel ch{3};
};

TEST_F(SecondariesTest, ConnectJudgesTheReply) {
    std::memset(ch.inst.request, 0x77, sizeof ch.inst.request);
    EXPECT_EQ(ConnectSecondary(ch.inst, 5), 0);
    EXPECT_EQ(card.requests.back(), (Bytes{0x04, 0x05}));
    EXPECT_EQ(+ch.inst.request[2], 0x77) << "other request bytes are neither cleared nor sent";
    EXPECT_TRUE(log.entries().empty());

    card.queueReply(test::ConnectReply(7));
    EXPECT_EQ(ConnectSecondary(ch.inst, 5), 1);
    EXPECT_EQ(log.texts(), std::vector<std::string>{"ORV03: TIW: Secondary 5 failed to connect!"});

    log.clear();
    card.queueReply(test::MhiuErrorReply(0x0021));
    EXPECT_EQ(ConnectSecondary(ch.inst, 5), 2);
    EXPECT_EQ(log.texts(), std::vector<std::string>{"ORV03: TIW: CheckReply() - MHIU Error: 0x0021"});

    log.clear();
    ch.inst.replyTimeout = 10;
    card.queue(ScriptedAnswer{ScriptedAnswer::Mode::AcknowledgeOnly, {}});
    EXPECT_EQ(ConnectSecondary(ch.inst, 5), -1);
    EXPECT_EQ(log.texts(),
              std::vector<std::string>{"ORV03: TIW: Timeout Waiting for response from Host Adapter"});
}

TEST_F(SecondariesTest, DecimalInTheMismatchAndTwoHexDigitsInThePass) {
    card.queueReply(test::ConnectReply(11));
    EXPECT_EQ(ConnectSecondary(ch.inst, 10), 1);
    EXPECT_EQ(log.texts().back(), "ORV03: TIW: Secondary 10 failed to connect!");
    log.clear();
    ch.inst.secondaryInUse[10] = 1;
    card.queueReply(test::ListReply({}));
    EXPECT_EQ(ReconnectSecondarys(ch.inst), 0);
    EXPECT_EQ(log.texts(),
              std::vector<std::string>{"ORV03: TIW: ReconnectSecondarys(): Succeed to connect secondary devices: 0A"});
}

TEST_F(SecondariesTest, PassConnectsOnlyTheUnlistedSecondariesInUse) {
    ch.inst.secondaryInUse[2] = 1;
    ch.inst.secondaryInUse[5] = 1;
    card.queueReply({0x02, 0x02, 0x09}); // L = 3: kind, then 2 and 9
    EXPECT_EQ(ReconnectSecondarys(ch.inst), 0);
    ASSERT_EQ(card.requests.size(), 2u);
    EXPECT_EQ(card.requests[0], (Bytes{0x00, 0x06}));
    EXPECT_EQ(card.requests[1], (Bytes{0x04, 0x05}));
    EXPECT_EQ(log.texts(),
              std::vector<std::string>{"ORV03: TIW: ReconnectSecondarys(): Succeed to connect secondary devices: 05"});
    for (const auto &e : log.entries()) {
        EXPECT_EQ(e.level, 32);
    }
}

TEST_F(SecondariesTest, ListOfOnlyTheKindByteListsNothingAndOutOfRangeBytesAreIgnored) {
    ch.inst.secondaryInUse[31] = 1;
    ch.inst.secondaryInUse[1] = 1;
    ch.inst.secondaryInUse[0] = 1; // never examined
    card.queueReply({0x02});
    ReconnectSecondarys(ch.inst);
    ASSERT_EQ(card.requests.size(), 3u);
    EXPECT_EQ(card.requests[1], (Bytes{0x04, 0x01})) << "ascending order";
    EXPECT_EQ(card.requests[2], (Bytes{0x04, 0x1F}));

    card.requests.clear();
    card.queueReply({0x02, 0x00, 0x20, 0x21, 0xFF, 0x3F}); // 0 and 32..255 list nothing
    ReconnectSecondarys(ch.inst);
    EXPECT_EQ(card.requests.size(), 3u);
}

TEST_F(SecondariesTest, FailedListRequestTakesNothingAsListed) {
    ch.inst.secondaryInUse[4] = 1;
    // A stale reply that names secondary 4 stands in the buffer from an earlier exchange.
    card.queueReply({0x02, 0x04});
    ConnectSecondary(ch.inst, 4);
    card.requests.clear();
    ch.inst.replyTimeout = 10;
    ScriptedAnswer abandoned{ScriptedAnswer::Mode::AcknowledgeOnly, {}};
    abandoned.giveUpAfterMs = 20;
    card.queue(abandoned);
    EXPECT_EQ(ReconnectSecondarys(ch.inst), 0);
    ASSERT_EQ(card.requests.size(), 2u);
    EXPECT_EQ(card.requests[1], (Bytes{0x04, 0x04}));

    // An error reply does not hold a list either, whatever its bytes.
    card.requests.clear();
    card.queueReply({0x00, 0x04, 0x04});
    EXPECT_EQ(ReconnectSecondarys(ch.inst), 0);
    ASSERT_EQ(card.requests.size(), 2u);
    EXPECT_EQ(card.requests[1], (Bytes{0x04, 0x04}));
}

TEST_F(SecondariesTest, PassWithEveryAttemptFailingStillReturns0) {
    ch.inst.device = kInvalidDevice;
    ch.inst.secondaryInUse[3] = 1;
    ch.inst.secondaryInUse[12] = 1;
    EXPECT_EQ(ReconnectSecondarys(ch.inst), 0);
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{"ORV03: TIW: SendStr() GRELMIN not open", "ORV03: TIW: SendStr() GRELMIN not open",
                                        "ORV03: TIW: ReconnectSecondarys(): Failed to connect secondary devices: 03",
                                        "ORV03: TIW: SendStr() GRELMIN not open",
                                        "ORV03: TIW: ReconnectSecondarys(): Failed to connect secondary devices: 0C"}));
}

TEST_F(SecondariesTest, NoSecondaryInUseSendsOnlyTheListRequest) {
    EXPECT_EQ(ReconnectSecondarys(ch.inst), 0);
    EXPECT_EQ(card.requests.size(), 1u);
    EXPECT_TRUE(log.entries().empty());
}

TEST_F(SecondariesTest, TruncatedListStopsAtTheEndOfTheBuffer) {
    ch.inst.secondaryInUse[9] = 1;
    Bytes list(600, 0x09); // the adapter claims more than fits
    list[0] = 0x02;
    card.queue(ScriptedAnswer{ScriptedAnswer::Mode::Reply, Bytes(list.begin(), list.begin() + 520), 0, 0xFFFF});
    EXPECT_EQ(ReconnectSecondarys(ch.inst), 0);
    EXPECT_EQ(card.requests.size(), 1u) << "9 is listed";
}

} // namespace
} // namespace orvtiw
