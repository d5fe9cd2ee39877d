// The statistics registers, laid out as the README documents them, and the
// age a value may reach by default.
#include <gtest/gtest.h>

#include "gate_stats.h"

namespace orvgate {
namespace {

using namespace std::chrono_literals;

TEST(GateStats, RegistersFollowTheDocumentedLayout) {
    Freshness freshness;
    const Clock::time_point t0 = Clock::now();
    GateStats stats(freshness, t0);
    freshness.CycleDone(41200us);
    stats.Track(1, 2);
    stats.Track(2, 31);
    Failure f;
    f.kind = ErrorKind::Adapter;
    f.code = 0x0104;
    f.status = 2;
    stats.Transfer(1, 2, nullptr);
    stats.Transfer(1, 2, &f);
    stats.SetState(1, 2, SecondaryState::Failing, t0 + 5s);
    stats.Answered(true);
    stats.Answered(false);
    stats.WriteDone(true);

    const std::vector<std::uint16_t> r = stats.Registers(t0 + 70s);
    ASSERT_EQ(r.size(), kStatsHeader + 2 * kStatsRow);
    EXPECT_EQ(r[0], kStatsLayout);
    EXPECT_EQ(r[1], 2);
    EXPECT_EQ(r[3], 1);   // cycles
    EXPECT_EQ(r[4], 412); // last cycle, 0.1 ms
    EXPECT_EQ(r[6], 500); // three cycles are less than the least age
    EXPECT_EQ(r[9], 2);   // requests answered
    EXPECT_EQ(r[11], 1);  // exceptions
    EXPECT_EQ(r[13], 1);  // writes applied
    EXPECT_EQ(r[21], 70); // seconds up
    const std::size_t row = kStatsHeader;
    EXPECT_EQ(r[row], 1);
    EXPECT_EQ(r[row + 1], 2);
    EXPECT_EQ(r[row + 2], static_cast<std::uint16_t>(SecondaryState::Failing));
    EXPECT_EQ(r[row + 4], 65); // failing for 65 s
    EXPECT_EQ(r[row + 6], 2);  // transfers
    EXPECT_EQ(r[row + 8], 1);  // failures
    EXPECT_EQ(r[row + 9], static_cast<std::uint16_t>(ErrorKind::Adapter));
    EXPECT_EQ(r[row + 10], 0x0104);
    EXPECT_EQ(r[row + 11], 2);
    EXPECT_EQ(r[row + kStatsRow + 1], 31);
    EXPECT_EQ(r[row + kStatsRow + 2], static_cast<std::uint16_t>(SecondaryState::Unread));
}

TEST(Freshness, ThreeCyclesFollowingASlowerScanButNotAHungOne) {
    Freshness f;
    const Clock::time_point t0 = Clock::now();
    EXPECT_GE(f.MaxAge(t0), 1h); // nothing scanned yet: whatever was read is the newest there is
    for (int i = 0; i < 4; ++i) {
        f.CycleDone(400ms);
    }
    f.CycleDone(300ms); // one short cycle does not shorten it
    f.CycleStarted(t0);
    f.CallDone(t0);
    EXPECT_EQ(f.MaxAge(t0), 1200ms);
    // The cycle under way counts while driver calls keep ending...
    f.CallDone(t0 + 2s);
    EXPECT_EQ(f.MaxAge(t0 + 2s + 100ms), 6300ms);
    // ... and not once the driver thread hangs in one.
    EXPECT_EQ(f.MaxAge(t0 + 2s + 501ms), 1200ms);
    f.CycleDone(2s); // the last cycle counts when it was the longest
    EXPECT_EQ(f.MaxAge(t0 + 10s), 6s);
    for (int i = 0; i < 8; ++i) {
        f.CycleDone(10ms);
    }
    EXPECT_EQ(f.MaxAge(t0 + 10s), Freshness::kLeast);
    EXPECT_EQ(Freshness(250ms).MaxAge(t0), 250ms);
}

} // namespace
} // namespace orvgate
