// Which connection gives way to a newcomer when every slot is taken, on a
// fake clock.
#include <gtest/gtest.h>

#include "modbus/connection_table.h"

namespace orvgate {
namespace {

using namespace std::chrono_literals;

const Clock::time_point t0 = Clock::time_point() + 1h;

// A SCADA polls every second on one connection while a scanner opens 64
// connections within 0.64 s and holds them silent, twice. The SCADA is
// never closed: the first burst finds every slot protected, the second
// closes the first burst's silent connections.
TEST(ConnectionTable, AScannerNeverClosesAClientThatPollsEverySecond) {
    ConnectionTable table(16, 0, 30s);
    table.Add(1, "10.0.0.5", t0);
    std::uint64_t next = 2;
    int refused = 0;
    int gaveWay = 0;
    for (auto t = 0ms; t < 10s; t += 10ms) {
        const Clock::time_point now = t0 + t;
        if (t % 1s == 0ms) {
            table.Asked(1, now);
            table.Answered(1, now + 2ms);
        }
        const bool burst = (t >= 500ms && t < 1140ms) || (t >= 5500ms && t < 6140ms);
        if (!burst) {
            continue;
        }
        const ConnectionTable::Admission a = table.Admit("10.0.0.66", now);
        if (!a.accepted) {
            ++refused;
            continue;
        }
        if (a.givesWay) {
            ASSERT_NE(*a.givesWay, 1u) << "the polling client gave way at " << t.count() << " ms";
            EXPECT_TRUE(a.givesWaySilent);
            table.Remove(*a.givesWay);
            ++gaveWay;
        }
        table.Add(next++, "10.0.0.66", now);
    }
    EXPECT_EQ(table.Size(), 16u);
    EXPECT_EQ(gaveWay, 15) << "the first burst's, silent past their grace";
    EXPECT_EQ(refused, 2 * (64 - 15));
}

TEST(ConnectionTable, SilentOnesGoBeforeTheIdlestPastTheWindowAndABusyOneNever) {
    ConnectionTable table(2, 0, 30s);
    table.Add(1, "10.0.0.1", t0);
    table.Add(2, "10.0.0.2", t0);
    table.Asked(1, t0 + 1s);
    EXPECT_EQ(table.Admit("10.0.0.3", t0 + 40s).givesWay, 2u) << "the silent one, before an idler past the window";
    table.Remove(2);
    table.Add(3, "10.0.0.3", t0 + 5s);
    table.Asked(3, t0 + 5s);
    EXPECT_FALSE(table.Admit("10.0.0.4", t0 + 30s).accepted) << "both asked within the window";
    EXPECT_EQ(table.Admit("10.0.0.4", t0 + 40s).givesWay, 1u) << "the idlest past the window";
    table.Busy(1, true);
    EXPECT_EQ(table.Admit("10.0.0.4", t0 + 40s).givesWay, 3u);
    table.Busy(3, true);
    EXPECT_FALSE(table.Admit("10.0.0.4", t0 + 1h).accepted);

    // A peer at its own limit gives way only from its own, even with slots free.
    ConnectionTable perPeer(10, 2, 30s);
    perPeer.Add(1, "10.0.0.9", t0);
    perPeer.Add(2, "10.0.0.9", t0);
    perPeer.Add(3, "10.0.0.1", t0);
    perPeer.Asked(1, t0 + 1s);
    perPeer.Asked(2, t0 + 2s);
    const ConnectionTable::Admission a = perPeer.Admit("10.0.0.9", t0 + 10s);
    EXPECT_FALSE(a.accepted);
    EXPECT_STREQ(a.refusal, "every connection of its address is in use (--max-clients-per-peer)");
    EXPECT_EQ(perPeer.Admit("10.0.0.9", t0 + 31s).givesWay, 1u);
    EXPECT_FALSE(perPeer.Admit("10.0.0.1", t0 + 31s).givesWay);
}

} // namespace
} // namespace orvgate
