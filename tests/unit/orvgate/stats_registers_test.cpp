// The statistics registers, laid out as the README documents them.
#include <gtest/gtest.h>

#include "modbus/stats_registers.h"

namespace orvgate {
namespace {

using namespace std::chrono_literals;

TEST(StatsRegisters, FollowTheDocumentedLayout) {
    const Clock::time_point t0 = Clock::time_point() + 1h;
    CardStatus one;
    one.channel = 1;
    one.health.state = HealthState::Good;
    one.health.since = t0;
    one.cycles = 70000;
    one.lastCycle = 41200us;
    one.medianCycle = 40ms;
    one.cycleCpu = 310us;
    Health refused;
    refused.state = HealthState::Failing;
    refused.since = t0 + 5s;
    refused.transfers = 9;
    refused.failures = 2;
    refused.last.kind = orvtiw::host::FailureKind::SecondaryUnreachable;
    refused.last.code = 0x0104;
    one.secondaries[2] = refused;
    ClassFigures alarm; // a class with blocks on the card, and one without
    alarm.period = 200ms;
    alarm.effective = 200ms;
    alarm.achievedMedian = 201ms;
    alarm.achievedP99 = 226ms;
    alarm.busy = 7s;
    alarm.blocks = 16;
    ClassFigures bulk = alarm;
    bulk.period = 100s;
    bulk.effective = 350s;
    bulk.achievedMedian = 349s;
    bulk.missing = true;
    one.classes = {ClassFigures{}, alarm, bulk};
    one.running = 70s;
    CardStatus two;
    two.channel = 2;
    two.health.state = HealthState::Failing;
    two.health.since = t0 + 60s;
    two.health.last.kind = orvtiw::host::FailureKind::CardNotAnswering;
    two.secondaries[31] = Health{};
    WriteCounters writes;
    writes.Ended(JobResult::Done);
    writes.Ended(JobResult::Dropped);
    writes.Ended(JobResult::Dropped);
    ModbusCounters server;
    server.connected = 3;
    server.gaveWay = 4;
    server.notAllowed = 6;
    StatsSources from;
    from.cards = {one, two};
    from.writes = &writes;
    from.maxAge = 2s;
    from.writeTimeout = 300ms;
    from.server = &server;
    from.started = t0;

    const std::vector<std::uint16_t> r = StatisticsRegisters(from, t0 + 70s);
    ASSERT_EQ(r.size(), kStatsHeader + 2 * kStatsChannelRow + 2 * kStatsSecondaryRow + 2 * kStatsClassRow);
    EXPECT_EQ((std::vector<std::uint16_t>(r.begin(), r.begin() + 6)),
              (std::vector<std::uint16_t>{3, 2, 2, 2000, 3, 300}));
    EXPECT_EQ(r[32], 2);  // class rows
    EXPECT_EQ(r[11], 1);  // writes applied
    EXPECT_EQ(r[19], 2);  // dropped
    EXPECT_EQ(r[25], 4);  // gave way
    EXPECT_EQ(r[29], 70); // seconds up
    EXPECT_EQ(r[31], 6);  // not in --allow
    const std::size_t ch = kStatsHeader;
    EXPECT_EQ((std::vector<std::uint16_t>(r.begin() + ch, r.begin() + ch + kStatsChannelRow)),
              (std::vector<std::uint16_t>{1, 1, 0, 70, 1, 4464, 412, 400, 310, 0}));
    EXPECT_EQ(r[ch + kStatsChannelRow + 1], 2); // channel 2 failing
    EXPECT_EQ(r[ch + kStatsChannelRow + 9], 1); // because its card does not answer
    const std::size_t sec = kStatsHeader + 2 * kStatsChannelRow;
    EXPECT_EQ((std::vector<std::uint16_t>(r.begin() + sec, r.begin() + sec + kStatsSecondaryRow)),
              (std::vector<std::uint16_t>{1, 2, 2, 0, 65, 0, 9, 0, 2, 2, 0x0104, 0}));
    // A secondary fails with its channel, for as long as the channel has.
    EXPECT_EQ(r[sec + kStatsSecondaryRow + 1], 31);
    EXPECT_EQ(r[sec + kStatsSecondaryRow + 2], 2);
    EXPECT_EQ(r[sec + kStatsSecondaryRow + 4], 10);
    EXPECT_EQ(r[sec + kStatsSecondaryRow + 9], 1);
    const std::size_t cls = sec + 2 * kStatsSecondaryRow;
    EXPECT_EQ((std::vector<std::uint16_t>(r.begin() + cls, r.begin() + cls + kStatsClassRow)),
              (std::vector<std::uint16_t>{1, 1, 0, 200, 0, 201, 0, 226, 0, 200, 100, 0}));
    // 32-bit periods: 350 s is 350000 ms; missing its period.
    EXPECT_EQ(r[cls + kStatsClassRow + 1], 2);
    EXPECT_EQ(r[cls + kStatsClassRow + 8], 350000 >> 16);
    EXPECT_EQ(r[cls + kStatsClassRow + 9], 350000 & 0xFFFF);
    EXPECT_EQ(r[cls + kStatsClassRow + 11], 1);
}

} // namespace
} // namespace orvgate
