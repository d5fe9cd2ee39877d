#include <gtest/gtest.h>

#include "link/big_endian.h"
#include "link/mailbox.h"
#include "support/capture_log.h"
#include "support/scripted_card.h"
#include "support/test_channel.h"

namespace orvtiw {
namespace {

using test::Bytes;
using test::CaptureLog;
using test::ScriptedAnswer;
using test::ScriptedCard;
using test::TestChannel;
using test::VirtualPlatform;

TEST(BigEndian, FieldsAreUnsignedAndMostSignificantFirst) {
    std::uint8_t b[4] = {};
    PutBE16(0x1234, b);
    EXPECT_EQ(b[0], 0x12);
    EXPECT_EQ(b[1], 0x34);
    const std::uint8_t high[4] = {0x80, 0x00, 0x00, 0x01};
    std::uint32_t v32 = 0;
    GetBE32(high, &v32);
    EXPECT_EQ(v32, 0x80000001u);
    const std::uint8_t ff01[2] = {0xFF, 0x01};
    std::uint16_t v16 = 0;
    GetBE16(ff01, &v16);
    EXPECT_EQ(v16, 0xFF01);
    PutBE32(0xA1B2C3D4u, b);
    EXPECT_EQ(Bytes(b, b + 4), (Bytes{0xA1, 0xB2, 0xC3, 0xD4}));
}

TEST(TimeElapsed, CountsAcrossTheWrapOfTheTickCount) {
    VirtualPlatform vp(0x00000010u);
    EXPECT_EQ(TimeElapsed(0xFFFFFFF0u, 31), 1); // 32 ms have passed
    EXPECT_EQ(TimeElapsed(0xFFFFFFF0u, 32), 0); // equal to the limit is not yet elapsed
    EXPECT_EQ(TimeElapsed(0x00000010u, 0), 0);
}

class MailboxTest : public ::testing::Test {
protected:
    MailboxTest() : vp(0xFFFFFF00u), card(vp) { ch.openOn(vp.cardWindow()); }
    std::uint8_t mailbox(int offset) { return vp.card[static_cast<std::size_t>(offset)]; }
    void post(const Bytes &request) {
        ch.inst.requestLength = static_cast<std::int32_t>(request.size());
        std::copy(request.begin(), request.end(), ch.inst.request);
    }
    // Every wait sleeps 1 ms between reads: no other sleep and no spinning.
    void expectPolledEveryMillisecond() {
        for (std::uint32_t s : vp.sleeps) {
            ASSERT_EQ(s, 1u);
        }
        EXPECT_LE(vp.tickReads, vp.sleeps.size() * 2 + 4);
    }
    CaptureLog log;
    VirtualPlatform vp; // starts near the wrap of the tick count
    ScriptedCard card;
    TestChannel ch;
};

TEST_F(MailboxTest, PostWritesLengthRequestClearedStatusThenCommand) {
    card.queue(ScriptedAnswer{ScriptedAnswer::Mode::NoAcknowledge, {}});
    post({0x04, 0x05});
    ch.inst.replyTimeout = 10;
    EXPECT_EQ(SendStr(ch.inst), 0);
    EXPECT_EQ(mailbox(32), 0x00);
    EXPECT_EQ(mailbox(33), 0x02);
    EXPECT_EQ(mailbox(34), 0x04);
    EXPECT_EQ(mailbox(35), 0x05);
    EXPECT_EQ(mailbox(1022), 0x00);
    EXPECT_EQ(mailbox(1023), 0x40);
    EXPECT_EQ(log.texts(), std::vector<std::string>{"ORV03: TIW: Host Adapter did not acknowledge command"});
}

TEST_F(MailboxTest, CardAnsweringAtOnceIsTakenWithoutWaiting) {
    card.queueReply({0x02, 0x07});
    post({0x04, 0x07});
    EXPECT_EQ(Transact(ch.inst), 0);
    EXPECT_EQ(+ch.inst.replyLength, 4);
    EXPECT_EQ(Bytes(ch.inst.reply, ch.inst.reply + 4), (Bytes{0x00, 0x02, 0x02, 0x07}));
    EXPECT_EQ(mailbox(1023), 0xC1);
    EXPECT_EQ(vp.sleptMs, 1u) << "one poll interval for the card to see the request";
    EXPECT_TRUE(log.entries().empty());
}

TEST_F(MailboxTest, AcceptedButNeverAnsweredTimesOutInRecv) {
    card.queue(ScriptedAnswer{ScriptedAnswer::Mode::AcknowledgeOnly, {}});
    ch.inst.replyLength = 77;
    ch.inst.reply[2] = 0x55;
    post({0x00, 0x06});
    EXPECT_EQ(SendStr(ch.inst), 1);
    const std::uint32_t before = vp.now;
    EXPECT_EQ(RecvStr(ch.inst), 0);
    EXPECT_GE(vp.now - before, 1000u);
    EXPECT_LE(vp.now - before, 1002u);
    EXPECT_EQ(+ch.inst.replyLength, 77) << "reply left as it was";
    EXPECT_EQ(+ch.inst.reply[2], 0x55);
    EXPECT_EQ(mailbox(1023), 0x40) << "hostCommand not written after a reply time-out";
    EXPECT_EQ(log.texts(), std::vector<std::string>{"ORV03: TIW: Timeout Waiting for response from Host Adapter"});
    expectPolledEveryMillisecond();
}

TEST_F(MailboxTest, ReplyThatArrivesLaterIsAwaited) {
    card.queue(ScriptedAnswer{ScriptedAnswer::Mode::Reply, {0x02, 0x09}, 600});
    post({0x04, 0x09});
    EXPECT_EQ(Transact(ch.inst), 0);
    EXPECT_EQ(+ch.inst.reply[3], 0x09);
    EXPECT_TRUE(log.entries().empty());
}

TEST_F(MailboxTest, ReplySizesAtTheEdgeOfTheBuffer) {
    struct Case {
        int replySize;
        int copied;
        bool truncatedMessage;
    } cases[] = {{0, 2, false}, {510, 512, false}, {511, 512, true}, {0xFFFF, 512, true}};
    for (const Case &c : cases) {
        log.clear();
        Bytes reply(static_cast<std::size_t>(std::min(c.replySize, 520)), 0xAB);
        card.queue(ScriptedAnswer{ScriptedAnswer::Mode::Reply, reply, 0, c.replySize});
        std::fill(std::begin(ch.inst.reply), std::end(ch.inst.reply), 0xEE);
        post({0x00, 0x06});
        ASSERT_EQ(Transact(ch.inst), 0) << c.replySize;
        EXPECT_EQ(+ch.inst.replyLength, c.copied) << c.replySize;
        std::uint16_t size = 0;
        GetBE16(ch.inst.reply, &size);
        EXPECT_EQ(size, c.replySize) << "the card's own length stays in the first two bytes";
        if (c.copied > 2) {
            EXPECT_EQ(+ch.inst.reply[c.copied - 1], 0xAB);
        }
        // Nothing of an earlier reply survives past the bytes just copied.
        for (int i = c.copied; i < kReplyBufferSize; ++i) {
            ASSERT_EQ(+ch.inst.reply[i], 0) << "byte " << i;
        }
        if (c.truncatedMessage) {
            ASSERT_EQ(log.entries().size(), 1u);
            EXPECT_EQ(log.entries()[0].level, 8);
            EXPECT_EQ(log.entries()[0].text, "ORV03: TIW: Received reponse too big for buffer, truncated");
        } else {
            EXPECT_TRUE(log.entries().empty()) << c.replySize;
        }
    }
}

TEST_F(MailboxTest, UnclearedPreviousCommandBlocksTheNextPostFor250Ms) {
    card.queue(ScriptedAnswer{ScriptedAnswer::Mode::NoAcknowledge, {}});
    ch.inst.replyTimeout = 20;
    post({0x04, 0x01});
    ASSERT_EQ(SendStr(ch.inst), 0);
    log.clear();
    vp.card[40] = 0x99;
    post({0x04, 0x02});
    const std::uint32_t before = vp.now;
    EXPECT_EQ(SendStr(ch.inst), 0);
    EXPECT_GE(vp.now - before, 250u);
    EXPECT_LE(vp.now - before, 252u);
    EXPECT_EQ(mailbox(35), 0x01) << "nothing of the new request was written";
    EXPECT_EQ(mailbox(1023), 0x40);
    EXPECT_EQ(log.texts(),
              std::vector<std::string>{"ORV03: TIW: Host Adapter did not clear from previous command"});
    EXPECT_EQ(log.entries()[0].level, 32);
}

TEST_F(MailboxTest, ClosedLinkTouchesNothing) {
    ch.inst.device = kInvalidDevice;
    post({0x04, 0x01});
    EXPECT_EQ(Transact(ch.inst), -1);
    EXPECT_EQ(RecvStr(ch.inst), 0);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"ORV03: TIW: SendStr() GRELMIN not open",
                                                     "ORV03: TIW: RecvStr() GRELMIN not open"}));
    EXPECT_EQ(mailbox(1023), 0);
    EXPECT_EQ(vp.sleptMs, 0u);
}

TEST_F(MailboxTest, RequestLongerThanTheMailboxIsRefusedUntouched) {
    for (std::int32_t length : {467, 512, -1, 0x10000}) {
        log.clear();
        ch.inst.requestLength = length;
        EXPECT_EQ(SendStr(ch.inst), 0) << length;
        EXPECT_EQ(mailbox(32), 0);
        EXPECT_EQ(mailbox(1023), 0);
        ASSERT_EQ(log.entries().size(), 1u);
        EXPECT_EQ(log.entries()[0].level, 32);
        EXPECT_EQ(log.entries()[0].text.rfind("ORV03: TIW: SendStr() ", 0), 0u);
    }
    EXPECT_TRUE(card.requests.empty());
    Bytes longest(466, 0x5A);
    post(longest);
    EXPECT_EQ(Transact(ch.inst), 0) << "466 bytes fill the request area exactly";
    EXPECT_EQ(card.requests.back().size(), 466u);
}

TEST_F(MailboxTest, ResetWaitsTheFullPauseThenTwentySeconds) {
    card.answerReset = false;
    const std::uint32_t before = vp.now;
    EXPECT_EQ(ResetAdapter(ch.inst), 0);
    ASSERT_FALSE(vp.sleeps.empty());
    EXPECT_EQ(vp.sleeps[0], 1000u);
    EXPECT_EQ(vp.now - before, 1000u + 20001u);
    EXPECT_EQ(mailbox(1023), 0x01);
    EXPECT_EQ(log.texts(),
              std::vector<std::string>{"ORV03: TIW: Host Adapter Reset, Card didn't respond to reset"});
    for (std::size_t i = 1; i < vp.sleeps.size(); ++i) {
        ASSERT_EQ(vp.sleeps[i], 1u);
    }
}

TEST_F(MailboxTest, ResetSatisfiedByAnEarlierAnswerRightAfterThePause) {
    card.answerReset = false;
    vp.card[1022] = 0x21;
    EXPECT_EQ(ResetAdapter(ch.inst), 1);
    EXPECT_EQ(vp.sleeps, std::vector<std::uint32_t>{1000u});
    EXPECT_TRUE(log.entries().empty());
}

TEST_F(MailboxTest, AnswerArrivingAsTheLimitPassesStillCounts) {
    // The card answers exactly when the limit has passed: the last read decides.
    card.queue(ScriptedAnswer{ScriptedAnswer::Mode::Reply, {0x02, 0x01}, 1001});
    post({0x04, 0x01});
    ch.inst.replyTimeout = 1000;
    EXPECT_EQ(Transact(ch.inst), 0);
    EXPECT_TRUE(log.entries().empty());
}

} // namespace
} // namespace orvtiw
