// The scan plan: which reads a cycle makes, where each range's values land
// and which card's thread reads each.
#include <gtest/gtest.h>

#include <sstream>

#include "map/map_file.h"
#include "offline_map.h"
#include "scan/scan_plan.h"

namespace orvgate {
namespace {

using test::OfflineMap;

std::vector<CheckedRange> Ranges(const std::string &text) {
    const OfflineMap map(text);
    EXPECT_TRUE(map.ranges) << map.error;
    return map.ranges.value_or(std::vector<CheckedRange>{});
}

std::vector<std::string> Reads(const ScanPlan &plan) {
    std::vector<std::string> out;
    for (const std::size_t b : plan.order) {
        out.push_back(plan.blocks[b].address + "x" + std::to_string(plan.blocks[b].span.units));
    }
    return out;
}

TEST(ScanPlan, CoalescesWhatTouchesWithinOneSecondaryAndRegionUpTo256Bytes) {
    const auto plan = BuildScanPlan(Ranges("channel 1 a.int\n"
                                           "holding 1 0 01V0001 100 int16\n"   // V1..V100
                                           "holding 1 100 01V0065 100 int16\n" // V101..V200: touches
                                           "holding 1 200 01V0032 4 int16\n"   // V50..V53: inside
                                           "coils 1 0 01V00C90 8 bits\n"       // V201: touches the run
                                           "holding 1 300 01V012D 1 int16\n"   // V301: apart
                                           "holding 1 400 02V0001 1 int16\n"   // another secondary
                                           "discrete 1 0 01X0001 200 points\n"
                                           "discrete 1 200 01X00C9 100 points\n"));
    // V1..V201 are 201 words: 128 + 73; X1..X300 are 300 bytes: 256 + 44.
    EXPECT_EQ(Reads(plan), (std::vector<std::string>{"01V0001x128", "01V0081x73", "01V012Dx1", "01X0001x256",
                                                     "01X0101x44", "02V0001x1"}));

    // The second range straddles the two V blocks: its value 27 is V128,
    // the last of the first block, and its value 28 the first of the next.
    const ValuePlace last = PlaceOf(plan.pieces[1], 27);
    const ValuePlace next = PlaceOf(plan.pieces[1], 28);
    EXPECT_EQ(last.block, plan.order[0]);
    EXPECT_EQ(last.offset, 127);
    EXPECT_EQ(next.block, plan.order[1]);
    EXPECT_EQ(next.offset, 0);
    // The bits' word is V201, the last of the second block.
    EXPECT_EQ(PlaceOf(plan.pieces[3], 0).block, plan.order[1]);
    EXPECT_EQ(PlaceOf(plan.pieces[3], 0).offset, 72);
}

TEST(ScanPlan, NeverReadsRangesOfTwoClassesTogether) {
    const auto ranges = Ranges("class alarm 200ms\n"
                               "class bulk 2.5s max-age 10s\n"
                               "channel 1 a.int\n"
                               "holding 1 0 01V0001 4 int16 class bulk\n"
                               "holding 1 4 01V0005 1 int16 class alarm no-mqtt\n" // touches the bulk
                               "holding 1 5 01V0006 4 int16\n");
    const auto plan = BuildScanPlan(ranges);
    EXPECT_EQ(Reads(plan), (std::vector<std::string>{"01V0006x4", "01V0005x1", "01V0001x4"}));
    EXPECT_EQ(plan.blocks[PlaceOf(plan.pieces[1], 0).block].scanClass, 1u);

    std::istringstream text("class alarm 200ms\nclass bulk 2.5s max-age 10s\nchannel 1 a.int\n");
    std::string error;
    const auto map = ReadMapFile(text, error);
    ASSERT_TRUE(map) << error;
    const auto classes = ScanClasses(map->classes, std::chrono::milliseconds(0), std::chrono::seconds(2));
    ASSERT_EQ(classes.size(), 3u);
    EXPECT_EQ(classes[1].ceiling, std::chrono::seconds(2)) << "never less than --max-age";
    EXPECT_EQ(classes[2].ceiling, std::chrono::seconds(10)) << "as the map gives it";
}

TEST(ScanPlan, KeepsTheTwoParitiesOfADoubleRegionApart) {
    // D7.. and D8.. overlap in controller elements, but their 32-bit values
    // start half a value apart: neither read can serve the other.
    const auto plan = BuildScanPlan(Ranges("channel 1 a.int\n"
                                           "holding 1 0 01D0007 2 float high-first\n"
                                           "holding 1 10 01D0008 2 float high-first\n"
                                           "holding 1 20 01D000B 2 float high-first\n"));
    EXPECT_EQ(Reads(plan), (std::vector<std::string>{"01D0008x2", "01D0007x4"}));
}

TEST(ScanPlan, GivesEachCardItsOwnBlocksInOrder) {
    const auto plan = BuildScanPlan(Ranges("channel 1 a.int\n"
                                           "holding 1 0 01V0001 1 int16\n"
                                           "holding 1 1 01V0003 1 int16\n"
                                           "holding 1 2 01V0005 1 int16\n"
                                           "channel 2 b.int\n"
                                           "holding 2 0 03V0001 1 int16\n"
                                           "holding 2 1 03V0003 1 int16\n"));
    EXPECT_EQ(Reads(plan), (std::vector<std::string>{"01V0001x1", "01V0003x1", "01V0005x1", "03V0001x1", "03V0003x1"}));
    const std::vector<std::size_t> second = plan.BlocksOf(2);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(plan.blocks[second[0]].address, "03V0001");
    EXPECT_EQ(plan.blocks[second[1]].address, "03V0003");
}

TEST(ScanPlan, WithoutCoalescingReadsEachRangeByItself) {
    const auto ranges = Ranges("channel 1 a.int\n"
                               "holding 1 0 01V0001 4 int16\n"
                               "holding 1 4 01V0005 4 int16\n"
                               "coils 1 0 01V00050 1 bits\n"
                               "coils 1 1 01V00051 1 bits\n");
    EXPECT_EQ(BuildScanPlan(ranges).order.size(), 1u);
    const ScanPlan naive = BuildScanPlan(ranges, false);
    EXPECT_EQ(Reads(naive), (std::vector<std::string>{"01V0001x4", "01V0005x4", "01V0005x1", "01V0005x1"}));
    EXPECT_EQ(PlaceOf(naive.pieces[3], 0).block, 3u);
}

} // namespace
} // namespace orvgate
