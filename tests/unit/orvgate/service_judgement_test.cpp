// What the service judges on a fake clock: which thread is held (the
// watchdog's pings stop), and when a gateway none of whose channels ever
// answered gives up, with the status systemd shows.
#include <gtest/gtest.h>

#include "service/channel_watch.h"
#include "service/progress_judge.h"

namespace orvgate::service {
namespace {

using namespace std::chrono_literals;

TEST(ProgressJudge, NamesThePartHeldLongestOnceItsBeatIsALimitOld) {
    const Clock::time_point t0 = Clock::time_point() + 1h;
    Heartbeat card1, card2, server;
    ProgressJudge judge(2s);
    judge.Watch("channel 1", card1);
    judge.Watch("channel 2", card2);
    judge.Watch("the Modbus server", server);
    card1.Beat(t0);
    card2.Beat(t0 + 500ms);
    server.Beat(t0 + 1s);
    EXPECT_FALSE(judge.Held(t0 + 1999ms));
    auto held = judge.Held(t0 + 2s);
    ASSERT_TRUE(held);
    EXPECT_EQ(held->name, "channel 1");
    server.Beat(t0 + 2s);
    held = judge.Held(t0 + 3s);
    ASSERT_TRUE(held);
    EXPECT_EQ(held->name, "channel 1") << "the oldest of two held parts";
    EXPECT_EQ(held->since, 3s);
    card1.Beat(t0 + 3s);
    card2.Beat(t0 + 3s);
    EXPECT_FALSE(judge.Held(t0 + 3s)) << "progress again";
}

CardStatus Card(std::int32_t channel, HealthState state, const char *why = "") {
    CardStatus c;
    c.channel = channel;
    c.health.state = state;
    c.health.last.text = why;
    return c;
}

TEST(ChannelWatch, GivesUpOnlyWhenNoChannelAnsweredWithinTheLimit) {
    const Clock::time_point t0 = Clock::time_point() + 1h;
    ChannelWatch watch(60s, t0);
    const std::vector<CardStatus> none = {Card(1, HealthState::Failing, "Error opening GRELMIN driver"),
                                          Card(2, HealthState::Failing, "Timeout Waiting for response")};
    ChannelWatch::Verdict v = watch.Look(none, t0 + 1500ms);
    EXPECT_FALSE(v.giveUp);
    EXPECT_EQ(v.status, "no channel answers yet: channel 1: Error opening GRELMIN driver; channel 2: Timeout "
                        "Waiting for response; exits in 59 s unless one does");
    EXPECT_FALSE(watch.Look(none, t0 + 59999ms).giveUp);
    v = watch.Look(none, t0 + 60s);
    EXPECT_TRUE(v.giveUp);
    EXPECT_EQ(v.status.rfind("no channel answered within 60 s: channel 1: Error opening", 0), 0u) << v.status;

    // One channel that answered once (a cold start that succeeded leaves it
    // unknown): the plant's later losses are waited out.
    ChannelWatch started(60s, t0);
    v = started.Look({Card(1, HealthState::Unknown), Card(2, HealthState::Failing, "why")}, t0 + 1s);
    EXPECT_EQ(v.status, "1 of 2 channels answer; lost: channel 2: why");
    v = started.Look(none, t0 + 120s);
    EXPECT_FALSE(v.giveUp);
    EXPECT_EQ(v.status.rfind("0 of 2 channels answer; lost: channel 1:", 0), 0u) << v.status;

    ChannelWatch patient(0s, t0);
    v = patient.Look(none, t0 + 24h);
    EXPECT_FALSE(v.giveUp) << "0: no limit";
    EXPECT_EQ(v.status.find("exits in"), std::string::npos);
}

} // namespace
} // namespace orvgate::service
