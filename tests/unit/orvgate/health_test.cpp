// The health of a card's channel, secondaries and blocks on a fake clock:
// what each call's outcome proves or fails, when things are tried again,
// and which block the scan reads.
#include <gtest/gtest.h>

#include "scan/health.h"

namespace orvgate {
namespace {

using namespace std::chrono_literals;
using orvtiw::host::Failure;
using orvtiw::host::FailureKind;

Failure Of(FailureKind kind) {
    Failure f;
    f.kind = kind;
    f.text = "why";
    return f;
}

const Failure kOk = Of(FailureKind::None);
const Failure kCard = Of(FailureKind::CardNotAnswering);
const Failure kUnreachable = Of(FailureKind::SecondaryUnreachable);
const Failure kRefused = Of(FailureKind::ControllerRefusal);

// Blocks 0 and 1 read secondary 1, block 2 secondary 2.
class CardHealthTest : public ::testing::Test {
  protected:
    CardHealthTest() : t0(Clock::time_point() + 1h), health(RetryPolicy{1s, 4s}, {1, 1, 2}, t0) {}
    Clock::time_point t0;
    CardHealth health;
};

TEST_F(CardHealthTest, AnyAnswerFromTheCardProvesTheChannelAndEveryRetryBacksOff) {
    health.Record(kCard, 1, 0, t0);
    EXPECT_TRUE(health.Channel().Failing());
    EXPECT_FALSE(health.ShouldRead(2, t0 + 10s)) << "a failing channel is tried by its own retry";
    EXPECT_EQ(health.NextDue(), t0 + 1s);
    EXPECT_FALSE(health.WarmStartDue()); // the first try only reads
    health.Record(kCard, 1, 0, t0 + 1s);
    EXPECT_EQ(health.NextDue(), t0 + 3s);
    EXPECT_TRUE(health.WarmStartDue()); // every second try begins with a warm start

    // The card answers, its PLC does not: the channel is back and stays so;
    // the secondary fails on a schedule of its own.
    const std::vector<HealthChange> changes = health.Record(kUnreachable, 1, 0, t0 + 3s);
    EXPECT_EQ(health.Channel().state, HealthState::Good);
    EXPECT_TRUE(health.Secondary(1).Failing());
    ASSERT_GE(changes.size(), 2u);
    EXPECT_EQ(changes[0].of, HealthChange::Of::Channel);
    EXPECT_EQ(changes[0].lasted, 3s);
    EXPECT_TRUE(health.ShouldRead(2, t0 + 3s)) << "the other secondary is read at once";
    EXPECT_FALSE(health.ShouldRead(0, t0 + 3s));
    // Its tries back off: 1 s, 2 s, then the most, 4 s, and not sooner.
    Clock::time_point t = t0 + 3s;
    for (const auto wait : {1s, 2s, 4s, 4s}) {
        EXPECT_FALSE(health.ShouldRead(0, t + wait - 1ms));
        EXPECT_TRUE(health.ShouldRead(0, t + wait));
        t += wait;
        health.Record(kUnreachable, 1, 0, t);
        EXPECT_EQ(health.Channel().state, HealthState::Good);
    }
    EXPECT_EQ(health.Secondary(1).tries, 5);
    EXPECT_EQ(health.EffectiveState(1), HealthState::Failing);
    health.Record(kOk, 1, 0, t + 4s);
    EXPECT_EQ(health.Secondary(1).state, HealthState::Good);
    EXPECT_EQ(health.NextDue(), Clock::time_point::max());
}

TEST_F(CardHealthTest, ARefusedBlockFailsAloneAndNeverProbesItsSecondary) {
    health.Record(kOk, 1, 0, t0);
    health.Record(kOk, 1, 1, t0);
    // The PLC's program changed: block 0 is refused, the PLC still answers.
    health.Record(kRefused, 1, 0, t0);
    EXPECT_TRUE(health.Block(0).Failing());
    EXPECT_EQ(health.Secondary(1).state, HealthState::Good);
    EXPECT_TRUE(health.ShouldRead(1, t0));
    EXPECT_FALSE(health.ShouldRead(0, t0 + 999ms));
    EXPECT_TRUE(health.ShouldRead(0, t0 + 1s));

    // The PLC goes off the network and comes back: it is probed by block 1,
    // which is not refused, and found back at its first due try.
    health.Record(kUnreachable, 1, 1, t0 + 100ms);
    EXPECT_EQ(health.ProbeOf(1), 1u);
    EXPECT_FALSE(health.ShouldRead(0, t0 + 5s));
    EXPECT_TRUE(health.ShouldRead(1, t0 + 1100ms));
    health.Record(kOk, 1, 1, t0 + 1100ms);
    EXPECT_EQ(health.Secondary(1).state, HealthState::Good);
    EXPECT_TRUE(health.Block(0).Failing()) << "the refused block waits for its own schedule";
    // Even a refusal from the PLC proves it reachable.
    health.Record(kUnreachable, 1, 1, t0 + 2s);
    health.Record(kRefused, 1, health.ProbeOf(1), t0 + 3s);
    EXPECT_EQ(health.Secondary(1).state, HealthState::Good);
    // A write the driver refused before any exchange proves nothing.
    health.Record(Of(FailureKind::RecordRefused), 2, CardHealth::kNoBlock, t0 + 4s);
    EXPECT_EQ(health.Secondary(2).state, HealthState::Unknown);
}

TEST_F(CardHealthTest, NothingBehindALostCardIsKnownUntilReadAgain) {
    health.Record(kOk, 1, 0, t0);
    health.Record(kRefused, 2, 2, t0);
    health.Record(kCard, 1, 1, t0 + 1s);
    EXPECT_EQ(health.Secondary(1).state, HealthState::Unknown);
    EXPECT_EQ(health.Block(2).state, HealthState::Unknown);
    EXPECT_EQ(health.EffectiveState(2), HealthState::Failing);
    health.Record(kOk, 1, 0, t0 + 2s);
    EXPECT_EQ(health.Channel().state, HealthState::Good);
    EXPECT_EQ(health.Secondary(2).state, HealthState::Unknown);
    EXPECT_TRUE(health.ShouldRead(2, t0 + 2s));
    EXPECT_EQ(health.Secondary(1).transfers, 3u);
    EXPECT_EQ(health.Secondary(1).failures, 1u);
}

} // namespace
} // namespace orvgate
