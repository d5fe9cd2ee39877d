#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "channel/instance.h"
#include "host/driver_info.h"
#include "host/operation_table.h"
#include "orvtiw/host_abi.h"

namespace orvtiw {
namespace {

// The banner drawn independently of the module's own table, byte by byte.
std::string ExpectedBanner() {
    auto rep = [](unsigned char c, int n) { return std::string(static_cast<std::size_t>(n), static_cast<char>(c)); };
    const unsigned char kH = 0xC4, kV = 0xB3, kFull = 0xDB, kDark = 0xB2, kMedium = 0xB1, kLight = 0xB0;
    std::string s = "\n";
    s += rep(0xDA, 1) + rep(kH, 60) + rep(0xBF, 1) + "\n";
    s += rep(kV, 1) + " " + rep(kFull, 5) + rep(kDark, 6) + rep(kMedium, 6) + rep(kLight, 5) + " O R V T I W " +
         rep(kLight, 5) + rep(kMedium, 6) + rep(kDark, 6) + rep(kFull, 5) + "  " + rep(kV, 1) + "\n";
    s += rep(kV, 1) + std::string(9, ' ') + "TIWAY I PC Host Adapter Driver. for TI 530" + std::string(9, ' ') +
         rep(kV, 1) + "\n";
    s += rep(kV, 1) + std::string(12, ' ') + "Non-Intelligent Terminal Protocol" + std::string(15, ' ') + rep(kV, 1) +
         "\n";
    return s;
}

int CallOp(int op, void *instance, void *params) {
    CallRecord call{instance, op, 4, 0, params};
    return Dispatch(&call);
}

TEST(DriverInfo, FillsTheRecordBeforeAnyColdStart) {
    InfoRecord info;
    std::memset(&info, 0x5A, sizeof info);
    ASSERT_EQ(CallOp(ORV_OP_GET_DRIVER_INFO, nullptr, &info), 0);
    EXPECT_EQ(info.hostConstant0, 70);
    EXPECT_STREQ(info.driverName, "TW TIWAY Host Adapter");
    EXPECT_EQ(info.instanceSize, sizeof(void *) == 4 ? 1326 : kInstanceSize);
    EXPECT_GE(info.instanceSize, static_cast<std::int32_t>(sizeof(Instance)));
    EXPECT_EQ(info.hostConstant16, 1);
    EXPECT_EQ(info.hostConstant28, 3);
    EXPECT_EQ(info.reserved20, 0x5A5A5A5A) << "offset 20 is not ours to write";
    EXPECT_EQ(info.reserved24, 0x5A5A5A5A) << "offset 24 is not ours to write";
}

TEST(DriverInfo, BannerIsTheBoxedCodePage437Text) {
    InfoRecord info{};
    ASSERT_EQ(CallOp(ORV_OP_GET_DRIVER_INFO, nullptr, &info), 0);
    const std::string banner(info.banner);
    ASSERT_EQ(banner.size(), 379u);
    const std::string expectedTop = ExpectedBanner();
    EXPECT_EQ(banner.substr(0, expectedTop.size()), expectedTop);

    // Line 5: six blanks, a 44-character notice ending in "Version 7.0", ten blanks.
    const std::size_t line5 = expectedTop.size();
    const std::string inner = banner.substr(line5 + 1, 60);
    EXPECT_EQ(static_cast<unsigned char>(banner[line5]), 0xB3);
    EXPECT_EQ(inner.substr(0, 6), std::string(6, ' '));
    const std::string notice = inner.substr(6, 44);
    EXPECT_NE(notice[0], ' ');
    EXPECT_EQ(notice.substr(33), "Version 7.0");
    EXPECT_EQ(inner.substr(50), std::string(10, ' '));
    EXPECT_EQ(static_cast<unsigned char>(banner[line5 + 61]), 0xB3);
    EXPECT_EQ(banner[line5 + 62], '\n');

    const std::string bottom = banner.substr(line5 + 63);
    EXPECT_EQ(bottom, std::string(1, '\xC0') + std::string(60, '\xC4') + std::string(1, '\xD9') + "\n");
}

TEST(SetTimeout, ChangesOnlyForAPositiveCountAndSaturates) {
    std::vector<std::uint8_t> memory(static_cast<std::size_t>(kInstanceSize), 0);
    auto *inst = reinterpret_cast<Instance *>(memory.data());
    inst->replyTimeout = 1234;
    struct Case {
        std::int32_t units;
        std::int32_t expected;
    } cases[] = {
        {0, 1234},                                           // zero leaves it
        {5, 50},                                             // no lower limit here
        {-1, 50},                                            // negative leaves it
        {std::numeric_limits<std::int32_t>::max(), std::numeric_limits<std::int32_t>::max()},
        {214748364, 2147483640},                             // largest exact tenfold
        {214748365, std::numeric_limits<std::int32_t>::max()}, // first that overflows
    };
    for (const Case &c : cases) {
        TimeoutRecord record{9, 9, 9, c.units};
        EXPECT_EQ(CallOp(ORV_OP_SET_TIMEOUT, inst, &record), 0);
        EXPECT_EQ(inst->replyTimeout, c.expected) << "units " << c.units;
    }
}

TEST(Entry, OperationsWithoutHandlerReturn2) {
    std::vector<std::uint8_t> memory(static_cast<std::size_t>(kInstanceSize), 0);
    InfoRecord info{};
    for (int op : {0, 8, 9, 16, 17, -1, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()}) {
        EXPECT_EQ(CallOp(op, memory.data(), &info), 2) << "op " << op;
    }
    EXPECT_EQ(Dispatch(nullptr), 2);
}

TEST(Entry, NullRecordsAreRefusedNotFollowed) {
    EXPECT_EQ(CallOp(ORV_OP_GET_DRIVER_INFO, nullptr, nullptr), 2);
    TimeoutRecord record{0, 0, 0, 5};
    EXPECT_EQ(CallOp(ORV_OP_SET_TIMEOUT, nullptr, &record), 2);
}

TEST(TimeoutTenfold, SaturatesBothWays) {
    EXPECT_EQ(TimeoutTenfold(100), 1000);
    EXPECT_EQ(TimeoutTenfold(std::numeric_limits<std::int32_t>::min()), std::numeric_limits<std::int32_t>::min());
}

} // namespace
} // namespace orvtiw
