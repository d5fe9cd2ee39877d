// Which connection gives way to a newcomer when every slot is taken.
#include <gtest/gtest.h>

#include "modbus/connection_table.h"

namespace orvgate {
namespace {

using namespace std::chrono_literals;

TEST(ConnectionTable, TheIdlestGivesWayButNeverOneTheDriverWorksFor) {
    const Clock::time_point t0 = Clock::time_point() + 1h;
    ConnectionTable table(3, 2);
    table.Add(1, "10.0.0.1", t0);
    table.Add(2, "10.0.0.2", t0 + 1s);
    EXPECT_TRUE(table.Admit("10.0.0.3").accepted);
    EXPECT_FALSE(table.Admit("10.0.0.3").givesWay);
    table.Add(3, "10.0.0.3", t0 + 2s);
    table.Active(1, t0 + 3s);

    ConnectionTable::Admission a = table.Admit("10.0.0.4");
    ASSERT_TRUE(a.accepted);
    EXPECT_EQ(a.givesWay, 2u); // idle since t0 + 1 s
    table.Busy(2, true);
    EXPECT_EQ(table.Admit("10.0.0.4").givesWay, 3u);
    table.Busy(1, true);
    table.Busy(3, true);
    a = table.Admit("10.0.0.4");
    EXPECT_FALSE(a.accepted);
    EXPECT_STREQ(a.refusal, "every connection is busy (--max-clients)");

    // A peer at its own limit gives way from its own connections, even with slots free.
    ConnectionTable perPeer(10, 2);
    perPeer.Add(1, "10.0.0.9", t0 + 5s);
    perPeer.Add(2, "10.0.0.9", t0);
    perPeer.Add(3, "10.0.0.1", t0 - 1s);
    EXPECT_EQ(perPeer.Admit("10.0.0.9").givesWay, 2u);
    EXPECT_FALSE(perPeer.Admit("10.0.0.1").givesWay);
}

} // namespace
} // namespace orvgate
