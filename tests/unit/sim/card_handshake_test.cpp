// The card's side of the mailbox handshake and its fault switches, seen
// through the driver's own reset and exchange code.
#include <gtest/gtest.h>

#include <ostream>

#include <array>
#include <functional>
#include <string>

#include "support/capture_log.h"
#include "unit/sim/simulated_channel.h"

namespace tiwaysim::test {
namespace {

using orvtiw::test::CaptureLog;

bool Logged(const CaptureLog &log, const std::string &part) {
    for (const std::string &t : log.texts()) {
        if (t.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

const std::vector<std::uint8_t> kConnect1 = {0x04, 0x01};

TEST(CardReset, AnswersWithBangAndIdleCommand) {
    SimulatedChannel ch;
    CaptureLog log;
    ASSERT_EQ(ch.Reset(), 1);
    EXPECT_EQ(ch.CardStatus(), 0x21);
    EXPECT_EQ(ch.HostCommand(), 0x00);
    EXPECT_EQ(ch.card.resets(), 1u);
    EXPECT_TRUE(log.entries().empty());
    // The card answered during the driver's pause; no further waiting.
    EXPECT_LE(ch.vp.sleptMs, 1001u);
}

TEST(CardReset, NoResetSwitchTimesTheDriverOut) {
    SimulatedChannel ch;
    CaptureLog log;
    ch.card.faults.noReset = true;
    EXPECT_EQ(ch.Reset(), 0);
    EXPECT_TRUE(Logged(log, "Card didn't respond to reset"));
    EXPECT_GE(ch.vp.sleptMs, 21000u);
    EXPECT_EQ(ch.card.resets(), 0u);
    // Once the card recovers, the standing reset command is answered.
    ch.card.faults.noReset = false;
    EXPECT_EQ(ch.Reset(), 1);
}

TEST(CardExchange, AnswersAtOnceWithoutDelay) {
    SimulatedChannel ch;
    ASSERT_EQ(ch.Reset(), 1);
    const std::uint64_t before = ch.vp.sleptMs;
    ASSERT_EQ(ch.Exchange(kConnect1), 0);
    EXPECT_EQ(ch.Reply(), (std::vector<std::uint8_t>{0x02, 0x01}));
    EXPECT_EQ(+ch.inst.replyLength, 4);
    EXPECT_LE(ch.vp.sleptMs - before, 1u);
    // The card returns the command byte to idle once the reply is taken.
    ch.vp.advance(1);
    EXPECT_EQ(ch.HostCommand(), 0x00);
}

// Each fault as the driver sees it: the first exchange's result and
// message, then, with the fault switched off, whether the link works
// again without a reset, and that a reset always brings it back.
struct FaultCase {
    const char *name;
    std::function<void(FaultSwitches &)> set;
    int firstResult;
    const char *firstMessage; // nullptr: nothing logged
    int secondResult;         // after the fault is switched off, no reset
    const char *secondMessage;
};

void PrintTo(const FaultCase &c, std::ostream *os) { *os << c.name; }

class CardFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(CardFaults, DriverSeesTheFaultAndAResetRecovers) {
    const FaultCase &c = GetParam();
    SimulatedChannel ch;
    ASSERT_EQ(ch.Reset(), 1);
    CaptureLog log;
    c.set(ch.card.faults);
    EXPECT_EQ(ch.Exchange(kConnect1), c.firstResult);
    if (c.firstMessage == nullptr) {
        EXPECT_TRUE(log.entries().empty());
    } else {
        EXPECT_TRUE(Logged(log, c.firstMessage)) << c.firstMessage;
    }
    log.clear();
    ch.card.faults = FaultSwitches{};
    EXPECT_EQ(ch.Exchange(kConnect1), c.secondResult);
    if (c.secondMessage != nullptr) {
        EXPECT_TRUE(Logged(log, c.secondMessage)) << c.secondMessage;
    }
    ASSERT_EQ(ch.Reset(), 1);
    ASSERT_EQ(ch.Exchange(kConnect1), 0);
    EXPECT_EQ(ch.Reply(), (std::vector<std::uint8_t>{0x02, 0x01}));
}

INSTANTIATE_TEST_SUITE_P(
    Switches, CardFaults,
    ::testing::Values(
        FaultCase{"none", [](FaultSwitches &) {}, 0, nullptr, 0, nullptr},
        FaultCase{"drop_ack", [](FaultSwitches &f) { f.dropAck = true; }, -1,
                  "did not acknowledge command", -1, "did not clear from previous command"},
        FaultCase{"ack_no_reply", [](FaultSwitches &f) { f.ackNoReply = true; }, -1,
                  "Timeout Waiting for response", -1, "did not clear from previous command"},
        FaultCase{"delay_within_timeout", [](FaultSwitches &f) { f.replyDelayMs = 900; }, 0, nullptr, 0, nullptr},
        FaultCase{"delay_beyond_timeout", [](FaultSwitches &f) { f.replyDelayMs = 1500; }, -1,
                  "Timeout Waiting for response", -1, "did not clear from previous command"},
        // The card clears the standing 0xC1 as soon as the switch is off.
        FaultCase{"keep_command", [](FaultSwitches &f) { f.keepCommand = true; }, 0, nullptr, 0, nullptr},
        FaultCase{"fail_next", [](FaultSwitches &f) { f.failNext = 1; }, -1, "Timeout Waiting for response", 0,
                  nullptr},
        FaultCase{"mhiu_error", [](FaultSwitches &f) { f.mhiuError = 0x0102; }, 0, nullptr, 0, nullptr}),
    [](const ::testing::TestParamInfo<FaultCase> &i) { return std::string(i.param.name); });

TEST(CardExchange, DelayedReplyIsAcceptedFirstAndReadyAfterTheDelay) {
    SimulatedChannel ch;
    ASSERT_EQ(ch.Reset(), 1);
    ch.card.faults.replyDelayMs = 300;
    const std::uint32_t start = ch.vp.now;
    ASSERT_EQ(orvtiw::SendStr([&]() -> orvtiw::Instance & {
                  ch.inst.request[0] = 0x04;
                  ch.inst.request[1] = 0x02;
                  ch.inst.requestLength = 2;
                  return ch.inst;
              }()),
              1);
    EXPECT_EQ(ch.CardStatus(), 0xC0);
    ASSERT_EQ(orvtiw::RecvStr(ch.inst), 1);
    const std::uint32_t took = ch.vp.now - start;
    EXPECT_GE(took, 300u);
    EXPECT_LE(took, 302u);
    EXPECT_EQ(ch.Reply(), (std::vector<std::uint8_t>{0x02, 0x02}));
}

TEST(CardExchange, DelayCountsAcrossTheTickWrap) {
    SimulatedChannel ch(Network::Default(), 0u - 1300u); // accepted about 300 ms before the wrap
    ASSERT_EQ(ch.Reset(), 1);
    ch.card.faults.replyDelayMs = 400; // the reply falls due after the wrap
    const std::uint32_t start = ch.vp.now;
    ASSERT_EQ(ch.Exchange(kConnect1), 0);
    EXPECT_GE(ch.vp.now - start, 400u);
    EXPECT_LE(ch.vp.now - start, 402u);
}

// With a line modelled, the card shows 0xC0 until the request and the reply
// have crossed it, to the microsecond; a delay comes on top.
TEST(CardLine, ReplyIsReadyOnceRequestAndReplyCrossedTheLine) {
    Network network = Network::Default();
    Adapter adapter(network);
    Card card(adapter);
    card.lineBitsPerSecond = 9600;
    std::array<std::uint8_t, orvtiw::Mailbox::kSize> m{};
    auto post = [&m]() {
        m[orvtiw::Mailbox::kRequestSize + 1] = 2;
        m[orvtiw::Mailbox::kRequestData] = 0x04;
        m[orvtiw::Mailbox::kRequestData + 1] = 0x01;
        m[orvtiw::Mailbox::kCardStatus] = 0;
        m[orvtiw::Mailbox::kHostCommand] = 0x40;
    };
    // Connect: 2 request and 2 reply bytes, 32 bits at 9600 bit/s = 3333.3 us.
    for (const std::uint32_t delayMs : {0u, 2u}) {
        card.faults.replyDelayMs = delayMs;
        const std::uint64_t t0 = 5000000 + delayMs * 100000;
        const std::uint64_t due = t0 + 3334 + delayMs * 1000;
        post();
        card.StepMicros(m.data(), t0);
        EXPECT_EQ(m[orvtiw::Mailbox::kCardStatus], 0xC0);
        card.StepMicros(m.data(), due - 1);
        EXPECT_EQ(m[orvtiw::Mailbox::kCardStatus], 0xC0) << "delay " << delayMs;
        card.StepMicros(m.data(), due);
        ASSERT_EQ(m[orvtiw::Mailbox::kCardStatus], 0x41) << "delay " << delayMs;
        EXPECT_EQ(m[orvtiw::Mailbox::kReplyData + 1], 0x01);
        m[orvtiw::Mailbox::kHostCommand] = 0xC1;
        card.StepMicros(m.data(), due + 1);
        ASSERT_EQ(m[orvtiw::Mailbox::kHostCommand], 0x00);
    }
    EXPECT_EQ(LineTimeUs(4, 9600), 3334u);
    EXPECT_EQ(LineTimeUs(4, 0), 0u);
}

// The driver, polling each millisecond, takes a 128-word block read (10
// request and 262 reply bytes, 18889 us at 115200 bit/s) in the ms after it
// is due.
TEST(CardLine, DriverSeesTheBlockReplyAfterItsLineTime) {
    SimulatedChannel ch;
    ASSERT_EQ(ch.Reset(), 1);
    ASSERT_EQ(ch.Exchange(kConnect1), 0);
    ch.vp.advance(1);
    ch.card.lineBitsPerSecond = 115200;
    std::uint32_t repliedAt = 0;
    ch.card.onExchange = [&](const Exchange &e) { repliedAt = e.nowMs; };
    const std::uint32_t start = ch.vp.now;
    ASSERT_EQ(ch.Exchange({0x01, 0x01, 0x00, 0x06, 0x20, 0x01, 0x00, 0x80, 0x00, 0x01}), 0);
    const std::uint32_t took = ch.vp.now - start;
    EXPECT_EQ(ch.Reply().size(), 262u);
    EXPECT_GE(took, 19u);
    EXPECT_LE(took, 21u);
    EXPECT_GE(repliedAt - start, 19u) << "the reply went out no earlier than its line time";
}

TEST(CardExchange, KeptCommandBlocksTheNextRequest) {
    SimulatedChannel ch;
    ASSERT_EQ(ch.Reset(), 1);
    ch.card.faults.keepCommand = true;
    ASSERT_EQ(ch.Exchange(kConnect1), 0);
    CaptureLog log;
    const std::uint64_t before = ch.card.requests();
    EXPECT_EQ(ch.Exchange(kConnect1), -1);
    EXPECT_TRUE(Logged(log, "did not clear from previous command"));
    EXPECT_EQ(ch.HostCommand(), 0xC1);
    EXPECT_EQ(ch.card.requests(), before);
}

TEST(CardExchange, MhiuErrorSwitchGivesTheChosenCode) {
    SimulatedChannel ch;
    ASSERT_EQ(ch.Reset(), 1);
    ch.card.faults.mhiuError = 0x0A0B;
    ASSERT_EQ(ch.Exchange(kConnect1), 0);
    EXPECT_EQ(ch.Reply(), (std::vector<std::uint8_t>{0x00, 0x0A, 0x0B}));
}

TEST(CardExchange, FailNextLosesExactlyThatManyRequests) {
    SimulatedChannel ch;
    ASSERT_EQ(ch.Reset(), 1);
    ch.card.faults.failNext = 2;
    EXPECT_EQ(ch.Exchange(kConnect1), -1);
    EXPECT_EQ(ch.Exchange(kConnect1), -1);
    EXPECT_EQ(ch.Exchange(kConnect1), 0);
    EXPECT_EQ(ch.card.faults.failNext, 0u);
}

// A forced replySize reaches the driver as it is; the driver copies at most
// its 512-byte buffer.
struct SizeCase {
    std::uint16_t forced;
    int replyLength;
    bool truncationLogged;
};

void PrintTo(const SizeCase &c, std::ostream *os) { *os << "replySize " << c.forced; }

class CardReplySize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(CardReplySize, ForcedSizeReachesTheDriver) {
    const SizeCase &c = GetParam();
    SimulatedChannel ch;
    ASSERT_EQ(ch.Reset(), 1);
    CaptureLog log;
    ch.card.faults.forcedReplySize = c.forced;
    ASSERT_EQ(ch.Exchange(kConnect1), 0);
    EXPECT_EQ(ch.ReplySizeField(), c.forced);
    EXPECT_EQ(+ch.inst.replyLength, c.replyLength);
    EXPECT_EQ(Logged(log, "too big for buffer"), c.truncationLogged);
    if (c.replyLength > 4) {
        // The true reply comes first and zeros back the forced length.
        EXPECT_EQ(ch.inst.reply[2], 0x02);
        EXPECT_EQ(ch.inst.reply[3], 0x01);
        EXPECT_EQ(ch.inst.reply[c.replyLength - 1], 0x00);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, CardReplySize,
                         ::testing::Values(SizeCase{0, 2, false}, SizeCase{510, 512, false},
                                           SizeCase{511, 512, true}, SizeCase{0xFFFF, 512, true}));

TEST(CardExchange, OversizedRequestSizeIsRefusedNotOverrun) {
    SimulatedChannel ch;
    ASSERT_EQ(ch.Reset(), 1);
    // Post by hand: a size field far beyond the request area.
    auto &m = ch.vp.card;
    m[orvtiw::Mailbox::kRequestSize] = 0xFF;
    m[orvtiw::Mailbox::kRequestSize + 1] = 0xFF;
    m[orvtiw::Mailbox::kReplySize] = 0x77;
    m[orvtiw::Mailbox::kCardStatus] = 0;
    m[orvtiw::Mailbox::kHostCommand] = 0x40;
    ch.vp.advance(1);
    EXPECT_EQ(ch.CardStatus(), 0x41);
    EXPECT_EQ(m[orvtiw::Mailbox::kReplySize], 0x00);
    EXPECT_EQ(m[orvtiw::Mailbox::kReplySize + 1], 0x03);
    EXPECT_EQ(m[orvtiw::Mailbox::kReplyData], 0x00);
    EXPECT_EQ(m[orvtiw::Mailbox::kReplyData + 1], 0x01);
    EXPECT_EQ(m[orvtiw::Mailbox::kReplyData + 2], 0x05);
}

TEST(CardExchange, TraceSeesEveryOutcome) {
    SimulatedChannel ch;
    std::vector<Exchange::Outcome> seen;
    ch.card.onExchange = [&](const Exchange &e) { seen.push_back(e.outcome); };
    ASSERT_EQ(ch.Reset(), 1);
    ASSERT_EQ(ch.Exchange(kConnect1), 0);
    ch.card.faults.failNext = 1;
    ASSERT_EQ(ch.Exchange(kConnect1), -1);
    ch.card.faults.ackNoReply = true;
    ASSERT_EQ(ch.Exchange(kConnect1), -1);
    EXPECT_EQ(seen, (std::vector<Exchange::Outcome>{Exchange::Outcome::Replied, Exchange::Outcome::Lost,
                                                    Exchange::Outcome::Swallowed}));
}

} // namespace
} // namespace tiwaysim::test
