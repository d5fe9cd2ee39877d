// The adapter's MHIU commands and the controllers behind it, as the
// driver's own request building and reply checks see them.
#include <gtest/gtest.h>

#include <ostream>

#include <string>

#include "control_commands.h"
#include "reply_codes.h"
#include "support/capture_log.h"
#include "tiway/adapter_configuration.h"
#include "tiway/primitives.h"
#include "tiway/secondaries.h"
#include "unit/sim/simulated_channel.h"

namespace tiwaysim::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using orvtiw::test::CaptureLog;

Bytes Read(std::uint8_t sec, std::uint8_t type, std::uint16_t count, std::uint16_t first) {
    return {0x01, sec, 0x00, 0x06, 0x20, type, static_cast<std::uint8_t>(count >> 8),
            static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(first >> 8), static_cast<std::uint8_t>(first)};
}

Bytes Write(std::uint8_t sec, std::uint8_t type, std::uint16_t first, const Bytes &data) {
    const auto primLength = static_cast<std::uint16_t>(data.size() + 4);
    Bytes r = {0x01, sec, static_cast<std::uint8_t>(primLength >> 8), static_cast<std::uint8_t>(primLength), 0x30, type,
               static_cast<std::uint8_t>(first >> 8), static_cast<std::uint8_t>(first)};
    r.insert(r.end(), data.begin(), data.end());
    return r;
}

// A channel with the card reset and the given secondaries connected.
class Connected : public SimulatedChannel {
public:
    explicit Connected(std::initializer_list<std::uint8_t> secondaries = {1}) {
        EXPECT_EQ(Reset(), 1);
        for (std::uint8_t s : secondaries) {
            EXPECT_EQ(orvtiw::ConnectSecondary(inst, s), 0) << int{s};
        }
    }
};

struct ConnectCase {
    int address;
    bool disconnected;
    Bytes reply;
};

void PrintTo(const ConnectCase &c, std::ostream *os) {
    *os << "address " << c.address << (c.disconnected ? ", disconnected" : "");
}

class AdapterConnect : public ::testing::TestWithParam<ConnectCase> {};

TEST_P(AdapterConnect, RepliesWithTheSecondaryOrAnMhiuError) {
    const ConnectCase &c = GetParam();
    SimulatedChannel ch;
    ASSERT_EQ(ch.Reset(), 1);
    if (c.disconnected) {
        ch.card.faults.disconnected.set(static_cast<std::size_t>(c.address));
    }
    ASSERT_EQ(ch.Exchange({0x04, static_cast<std::uint8_t>(c.address)}), 0);
    EXPECT_EQ(ch.Reply(), c.reply);
    EXPECT_EQ(ch.adapter.connected(c.address), c.reply[0] == kKindOk);
}

INSTANTIATE_TEST_SUITE_P(Addresses, AdapterConnect,
                         ::testing::Values(ConnectCase{1, false, {0x02, 0x01}}, ConnectCase{4, false, {0x02, 0x04}},
                                           ConnectCase{5, false, {0x00, 0x01, 0x02}},
                                           ConnectCase{0, false, {0x00, 0x01, 0x02}},
                                           ConnectCase{31, false, {0x00, 0x01, 0x02}},
                                           ConnectCase{32, false, {0x00, 0x01, 0x02}},
                                           ConnectCase{0xFF, false, {0x00, 0x01, 0x02}},
                                           ConnectCase{2, true, {0x00, 0x01, 0x04}}));

TEST(Adapter, ListsConnectedSecondariesAndAResetDropsThem) {
    Connected ch({3, 1});
    ASSERT_EQ(ch.Exchange({0x00, 0x06}), 0);
    EXPECT_EQ(ch.Reply(), (Bytes{0x02, 0x01, 0x03}));
    EXPECT_EQ(ch.ReplySizeField(), 3);
    ASSERT_EQ(ch.Reset(), 1);
    ASSERT_EQ(ch.Exchange({0x00, 0x06}), 0);
    EXPECT_EQ(ch.Reply(), (Bytes{0x02}));
}

TEST(Adapter, DriverReconnectsOnlyWhatTheListLacks) {
    Connected ch({2});
    ch.inst.secondaryInUse[2] = 1;
    ch.inst.secondaryInUse[3] = 1;
    const std::uint64_t before = ch.card.requests();
    CaptureLog log;
    EXPECT_EQ(orvtiw::ReconnectSecondarys(ch.inst), 0);
    EXPECT_EQ(ch.card.requests() - before, 2u); // the list, then secondary 3 only
    EXPECT_TRUE(ch.adapter.connected(3));
    ASSERT_EQ(log.texts().size(), 1u);
    EXPECT_NE(log.texts()[0].find("Succeed to connect secondary devices: 03"), std::string::npos);
}

// Each region size written and read back through the driver's mailbox.
struct RoundTrip {
    std::uint8_t type;
    std::uint16_t first;
    Bytes data;
};

// Names a case by its fields, not by the struct's raw bytes and padding.
void PrintTo(const RoundTrip &c, std::ostream *os) {
    *os << "type " << static_cast<int>(c.type) << " from " << c.first << ", " << c.data.size() << " bytes";
}

class AdapterBlocks : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(AdapterBlocks, WrittenValuesReadBackBigEndian) {
    const RoundTrip &c = GetParam();
    Connected ch;
    ASSERT_EQ(ch.Exchange(Write(1, c.type, c.first, c.data)), 0);
    ASSERT_EQ(orvtiw::CheckReply(ch.inst), 0);
    const Region *region = ch.network.At(1)->Find(c.type);
    ASSERT_NE(region, nullptr);
    const auto count = static_cast<std::uint16_t>(c.data.size() / region->elementBytes);
    EXPECT_EQ(ch.Reply(), (Bytes{0x01, 0x01, 0x00, 0x30, 0x00, static_cast<std::uint8_t>(count)}));

    ASSERT_EQ(ch.Exchange(Read(1, c.type, count, c.first)), 0);
    ASSERT_EQ(orvtiw::CheckReply(ch.inst), 0);
    EXPECT_EQ(ch.ReplySizeField(), 6 + c.data.size());
    const Bytes reply = ch.Reply();
    EXPECT_EQ(Bytes(reply.begin() + 6, reply.end()), c.data);
    // The driver's view: data from its byte 8 on.
    EXPECT_EQ(ch.inst.reply[8], c.data[0]);
    // The neighbours were left alone.
    if (c.first > 1) {
        EXPECT_EQ(region->Get(c.first - 1u), 0u);
    }
    if (c.first + count <= region->count()) {
        EXPECT_EQ(region->Get(c.first + count), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Regions, AdapterBlocks,
                         ::testing::Values(RoundTrip{0x01, 100, {0x12, 0x34, 0xAB, 0xCD}},         // V words
                                           RoundTrip{0x03, 10, {0x01, 0x00, 0x01}},                 // X points
                                           RoundTrip{0x0A, 1, {0xFF, 0xFE}},                        // WY, element 1
                                           RoundTrip{0x0B, 7, {0x12, 0x34, 0x56, 0x78, 0, 0, 0, 9}}, // 32-bit
                                           RoundTrip{0x02, 1023, {0x00, 0x01, 0x80, 0x00}}));       // K, last two

TEST(Adapter, LastElementIsTheRegionCount) {
    Connected ch;
    ch.network.At(1)->Find(0x01)->Set(1024, 0xBEEF);
    ASSERT_EQ(ch.Exchange(Read(1, 0x01, 1, 1024)), 0);
    EXPECT_EQ(ch.Reply(), (Bytes{0x01, 0x01, 0x00, 0x20, 0x00, 0x01, 0xBE, 0xEF}));
}

// Requests the adapter or the controller refuses, with the reply the driver
// sees and the message its reply check logs.
struct RefusalCase {
    const char *name;
    Bytes request;
    Bytes reply;
    const char *logged;
};

void PrintTo(const RefusalCase &c, std::ostream *os) { *os << c.name; }

class AdapterRefuses : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(AdapterRefuses, WithTheRightKindAndCode) {
    const RefusalCase &c = GetParam();
    Connected ch;
    const Bytes before = ch.network.At(1)->Find(0x01)->bytes;
    CaptureLog log;
    ASSERT_EQ(ch.Exchange(c.request), 0);
    EXPECT_EQ(ch.Reply(), c.reply);
    EXPECT_EQ(orvtiw::CheckReply(ch.inst), 2);
    ASSERT_EQ(log.texts().size(), 1u);
    EXPECT_NE(log.texts()[0].find(c.logged), std::string::npos) << log.texts()[0];
    EXPECT_EQ(ch.network.At(1)->Find(0x01)->bytes, before) << "a refused request changed memory";
}

INSTANTIATE_TEST_SUITE_P(
    Requests, AdapterRefuses,
    ::testing::Values(
        RefusalCase{"not_connected", Read(2, 0x01, 1, 1), {0x00, 0x01, 0x03}, "MHIU Error: 0x0103"},
        RefusalCase{"not_on_network", Read(9, 0x01, 1, 1), {0x00, 0x01, 0x02}, "MHIU Error: 0x0102"},
        RefusalCase{"undefined_type", Read(1, 0x07, 1, 1), {0x01, 0x01, 0x00, 0x00, 0x01, 0x00},
                    "primitive error: 0x0001"},
        RefusalCase{"element_zero", Read(1, 0x01, 1, 0), {0x01, 0x01, 0x00, 0x00, 0x02, 0x00},
                    "primitive error: 0x0002"},
        RefusalCase{"past_the_end", Read(1, 0x01, 2, 1024), {0x01, 0x01, 0x00, 0x00, 0x02, 0x00},
                    "primitive error: 0x0002"},
        RefusalCase{"count_wraps_nothing", Read(1, 0x01, 0xFFFF, 0xFFFF), {0x01, 0x01, 0x00, 0x00, 0x02, 0x00},
                    "primitive error: 0x0002"},
        RefusalCase{"reply_would_overflow", Read(1, 0x01, 300, 1), {0x01, 0x01, 0x00, 0x00, 0x05, 0x00},
                    "primitive error: 0x0005"},
        RefusalCase{"write_past_the_end", Write(1, 0x01, 1024, {1, 2, 3, 4}), {0x01, 0x01, 0x00, 0x00, 0x02, 0x00},
                    "primitive error: 0x0002"},
        RefusalCase{"write_half_a_word", Write(1, 0x01, 5, {1, 2, 3}), {0x01, 0x01, 0x00, 0x00, 0x03, 0x00},
                    "primitive error: 0x0003"},
        RefusalCase{"unknown_primitive", {0x01, 0x01, 0x00, 0x06, 0x55, 0x01, 0, 1, 0, 1},
                    {0x01, 0x01, 0x00, 0x00, 0x04, 0x00}, "primitive error: 0x0004"},
        RefusalCase{"length_mismatch", {0x01, 0x01, 0x00, 0x08, 0x20, 0x01, 0, 1, 0, 1}, {0x00, 0x01, 0x05},
                    "MHIU Error: 0x0105"},
        RefusalCase{"unknown_command", {0x07, 0x01}, {0x00, 0x01, 0x01}, "MHIU Error: 0x0101"},
        RefusalCase{"bad_config_bytes", {0x19, 0x28, 0x02}, {0x00, 0x01, 0x05}, "MHIU Error: 0x0105"}),
    [](const ::testing::TestParamInfo<RefusalCase> &i) { return std::string(i.param.name); });

TEST(Adapter, PrimitiveErrorSwitchGivesTheChosenCode) {
    Connected ch;
    ch.card.faults.primitiveError = 0x0B;
    CaptureLog log;
    ASSERT_EQ(ch.Exchange(Read(1, 0x01, 1, 1)), 0);
    EXPECT_EQ(orvtiw::CheckReply(ch.inst), 2);
    ASSERT_EQ(log.texts().size(), 1u);
    EXPECT_NE(log.texts()[0].find("primitive error: 0x000B"), std::string::npos);
}

TEST(Adapter, DisconnectingASecondaryDropsItsConnection) {
    Connected ch({1, 2});
    ch.card.faults.disconnected.set(2);
    ASSERT_EQ(ch.Exchange(Read(2, 0x01, 1, 1)), 0);
    EXPECT_EQ(ch.Reply(), (Bytes{0x00, 0x01, 0x04}));
    ch.card.faults.disconnected.reset();
    // Back on the network, but it must be connected again.
    ASSERT_EQ(ch.Exchange(Read(2, 0x01, 1, 1)), 0);
    EXPECT_EQ(ch.Reply(), (Bytes{0x00, 0x01, 0x03}));
    EXPECT_EQ(orvtiw::ConnectSecondary(ch.inst, 2), 0);
    ASSERT_EQ(ch.Exchange(Read(2, 0x01, 1, 1)), 0);
    EXPECT_EQ(orvtiw::CheckReply(ch.inst), 0);
}

// The driver's own request building and unpacking against the controller.
TEST(Adapter, DriverBuiltWriteAndReadOfADoubleValue) {
    Connected ch;
    ch.inst.regions['D' - 'A'] = orvtiw::RegionDef{0x01, 16, 2};
    std::uint32_t value = 0x12345678;
    TransferRecord rec{};
    rec.plcAddress = 1;
    rec.regionId = 'D' | 0x100; // odd: controller elements 101 and 102
    rec.elementNumber = 50;
    rec.bitNumber = 255;
    rec.width = 32;
    rec.count = 1;
    rec.data = &value;
    orvtiw::BuildPrimitive(ch.inst, rec, orvtiw::kBuildWrite);
    ASSERT_EQ(orvtiw::Transact(ch.inst), 0);
    ASSERT_EQ(orvtiw::CheckReply(ch.inst), 0);
    const Region &v = *ch.network.At(1)->Find(0x01);
    EXPECT_EQ(v.Get(101), 0x1234u);
    EXPECT_EQ(v.Get(102), 0x5678u);

    std::uint32_t back = 0;
    rec.data = &back;
    orvtiw::BuildPrimitive(ch.inst, rec, orvtiw::kBuildRead);
    ASSERT_EQ(orvtiw::Transact(ch.inst), 0);
    ASSERT_EQ(orvtiw::CheckReply(ch.inst), 0);
    orvtiw::UnpackReadData(ch.inst, rec);
    EXPECT_EQ(back, 0x12345678u);
}

// The configuration sequence, run by the driver's own ConfigureAdapter.
TEST(AdapterConfiguration, FirstRunConfiguresAndLaterRunsOnlyAsk) {
    Connected ch({});
    std::vector<Bytes> requests;
    ch.card.onExchange = [&](const Exchange &e) { requests.push_back(e.request); };
    EXPECT_EQ(orvtiw::ConfigureAdapter(&ch.call), 0);
    EXPECT_TRUE(ch.adapter.configured());
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1], (Bytes{0x11}));
    EXPECT_GE(ch.vp.sleptMs, 10000u); // the driver's two pauses
    requests.clear();
    EXPECT_EQ(orvtiw::ConfigureAdapter(&ch.call), 0);
    EXPECT_EQ(requests.size(), 1u) << "a configured adapter answers the first command with 1";
    EXPECT_EQ(ch.Reply(), (Bytes{0x02, 0x01}));
}

// An adapter told it is configured (tiwaysim's --configured or control
// command) answers as one configured by an earlier session; told otherwise,
// it needs the whole sequence again.
TEST(AdapterConfiguration, ConfiguredCommandSetsAndClearsIt) {
    Connected ch({});
    std::size_t n = 0;
    ch.card.onExchange = [&](const Exchange &) { ++n; };
    ASSERT_EQ(ApplyCardControl("configured on", ch.card, ch.adapter), "ok");
    const std::uint64_t slept = ch.vp.sleptMs;
    EXPECT_EQ(orvtiw::ConfigureAdapter(&ch.call), 0);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(ch.Reply(), (Bytes{0x02, 0x01}));
    EXPECT_LT(ch.vp.sleptMs - slept, 10u) << "no configuration pauses";

    EXPECT_EQ(ApplyCardControl("configured maybe", ch.card, ch.adapter).rfind("error", 0), 0u);
    EXPECT_TRUE(ch.adapter.configured()) << "a refused command changes nothing";
    ASSERT_EQ(ApplyCardControl("configured off", ch.card, ch.adapter), "ok");
    EXPECT_FALSE(ch.adapter.configured());
    n = 0;
    EXPECT_EQ(orvtiw::ConfigureAdapter(&ch.call), 0);
    EXPECT_EQ(n, 4u);
    EXPECT_TRUE(ch.adapter.configured());
}

struct ResetCase {
    bool forgets;
    std::size_t commandsAfterReset;
};

void PrintTo(const ResetCase &c, std::ostream *os) { *os << (c.forgets ? "reset forgets" : "reset keeps"); }

class AdapterConfigAfterReset : public ::testing::TestWithParam<ResetCase> {};

TEST_P(AdapterConfigAfterReset, SurvivesUnlessTheResetForgets) {
    Connected ch({});
    ASSERT_EQ(orvtiw::ConfigureAdapter(&ch.call), 0);
    ch.card.faults.resetForgetsConfig = GetParam().forgets;
    ASSERT_EQ(ch.Reset(), 1);
    EXPECT_EQ(ch.adapter.configured(), !GetParam().forgets);
    std::size_t n = 0;
    ch.card.onExchange = [&](const Exchange &) { ++n; };
    EXPECT_EQ(orvtiw::ConfigureAdapter(&ch.call), 0);
    EXPECT_EQ(n, GetParam().commandsAfterReset);
}

INSTANTIATE_TEST_SUITE_P(Resets, AdapterConfigAfterReset, ::testing::Values(ResetCase{false, 1}, ResetCase{true, 4}));

struct ConfigFailCase {
    int command;
    ConfigFailure how;
    int result;
    std::size_t exchanges;
};

void PrintTo(const ConfigFailCase &c, std::ostream *os) { *os << "command " << c.command; }

class AdapterConfigFails : public ::testing::TestWithParam<ConfigFailCase> {};

TEST_P(AdapterConfigFails, DriverStopsWithTheRightResult) {
    const ConfigFailCase &c = GetParam();
    Connected ch({});
    ch.card.faults.failConfigCommand = c.command;
    ch.card.faults.configFailure = c.how;
    std::size_t n = 0;
    ch.card.onExchange = [&](const Exchange &) { ++n; };
    EXPECT_EQ(orvtiw::ConfigureAdapter(&ch.call), c.result);
    EXPECT_EQ(n, c.exchanges);
    EXPECT_FALSE(ch.adapter.configured());
}

INSTANTIATE_TEST_SUITE_P(Commands, AdapterConfigFails,
                         ::testing::Values(ConfigFailCase{2, ConfigFailure::NoReply, -1, 2},
                                           ConfigFailCase{3, ConfigFailure::NoReply, -1, 3},
                                           ConfigFailCase{3, ConfigFailure::MhiuError, 2, 3},
                                           ConfigFailCase{4, ConfigFailure::MhiuError, 2, 4},
                                           ConfigFailCase{4, ConfigFailure::NoReply, -1, 4}));

} // namespace
} // namespace tiwaysim::test
