// tiwaysim's texts: the network configuration, the kept memory, the control
// commands, the trace line, the planning of card windows, and the command
// line.
#include <gtest/gtest.h>

#include <ostream>

#include <sstream>
#include <string>
#include <vector>

#include "control_commands.h"
#include "network_config.h"
#include "options.h"
#include "served_cards.h"
#include "trace.h"

namespace tiwaysim {
namespace {

TEST(NetworkConfig, ReadsCardsSecondariesRegionsAndValues) {
    std::istringstream in("# two cards\n"
                          "card C800\n"
                          "secondary 1\n"
                          "region 0x01 16 200 V   # words\n"
                          "region 3 8 64\n"
                          "value 0x01 1 0x1234 65535\n"
                          "value 3 64 1\n"
                          "secondary 7 defaults\n"
                          "card 0xD000\n"
                          "secondary 31\n"
                          "region 0x0B 32 10\n"
                          "value 0x0B 10 0xFFFFFFFF\n"
                          "value 0x0B 9 21.5\n");
    std::vector<CardPlan> cards;
    std::string error;
    ASSERT_TRUE(ReadNetworkConfig(in, cards, error)) << error;
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(cards[0].segment, 0xC800);
    EXPECT_EQ(cards[1].segment, 0xD000);
    const Controller *one = cards[0].network.At(1);
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(one->Find(0x01)->count(), 200u);
    EXPECT_EQ(one->Find(0x01)->Get(1), 0x1234u);
    EXPECT_EQ(one->Find(0x01)->Get(2), 0xFFFFu);
    EXPECT_EQ(one->Find(0x03)->Get(64), 1u);
    EXPECT_EQ(one->Find(0x02), nullptr);
    EXPECT_EQ(cards[0].network.At(7)->Find(0x0A)->count(), 1024u);
    EXPECT_EQ(cards[0].network.At(2), nullptr);
    EXPECT_EQ(cards[1].network.At(31)->Find(0x0B)->Get(10), 0xFFFFFFFFu);
    EXPECT_EQ(cards[1].network.At(31)->Find(0x0B)->Get(9), 0x41AC0000u) << "21.5 as a float";
}

struct BadConfig {
    const char *text;
    const char *message; // part of the error
};

void PrintTo(const BadConfig &c, std::ostream *os) {
    *os << c.text;
}

class NetworkConfigRefuses : public ::testing::TestWithParam<BadConfig> {};

TEST_P(NetworkConfigRefuses, NamesTheLine) {
    std::istringstream in(GetParam().text);
    std::vector<CardPlan> cards;
    std::string error;
    EXPECT_FALSE(ReadNetworkConfig(in, cards, error));
    EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, NetworkConfigRefuses,
    ::testing::Values(BadConfig{"secondary 1\n", "line 1: secondary before any card"},
                      BadConfig{"card C800\nsecondary 0\n", "line 2"}, BadConfig{"card C800\nsecondary 32\n", "line 2"},
                      BadConfig{"card 1C800\n", "line 1"},
                      BadConfig{"card C800\nsecondary 1\nsecondary 1\n", "given twice"},
                      BadConfig{"card C800\nsecondary 1\nregion 1 12 10\n", "line 3"},
                      BadConfig{"card C800\nsecondary 1\nregion 1 16 0\n", "line 3"},
                      BadConfig{"card C800\nsecondary 1\nregion 1 16 65536\n", "line 3"},
                      BadConfig{"card C800\nsecondary 1\nregion 0x100 16 5\n", "line 3"},
                      BadConfig{"card C800\nsecondary 1\nregion 1 16 4\nvalue 1 4 1 2\n", "past the end"},
                      BadConfig{"card C800\nsecondary 1\nregion 1 16 4\nvalue 1 0 1\n", "past the end"},
                      BadConfig{"card C800\nsecondary 1\nregion 3 8 4\nvalue 3 1 256\n", "does not fit"},
                      BadConfig{"card C800\nsecondary 1\nvalue 1 1 1\n", "does not have"},
                      BadConfig{"card C800\ncard D000\nregion 1 16 4\n", "region before any secondary"},
                      BadConfig{"card C800\nfrobnicate\n", "unknown line"}));

TEST(NetworkConfig, RefusesOverlongLines) {
    std::istringstream in("card C800\n" + std::string(9000, ' ') + "\n");
    std::vector<CardPlan> cards;
    std::string error;
    EXPECT_FALSE(ReadNetworkConfig(in, cards, error));
    EXPECT_NE(error.find("line 2: line too long"), std::string::npos);
}

TEST(KeptMemory, WrittenValuesComeBackIntoAFreshNetwork) {
    std::vector<CardPlan> cards;
    cards.push_back(CardPlan{0xC800, Network::Default()});
    Region &v = *cards[0].network.At(2)->Find(0x01);
    for (std::uint32_t e = 1; e <= 40; ++e) {
        v.Set(e, e * 3); // a run longer than one line
    }
    v.Set(1024, 0xFFFF);
    cards[0].network.At(4)->Find(0x0B)->Set(5, 0x80000001u);
    cards[0].network.At(1)->Find(0x03)->Set(9, 1);
    std::stringstream file;
    WriteMemory(file, cards);

    std::vector<CardPlan> fresh;
    fresh.push_back(CardPlan{0xC800, Network::Default()});
    std::string error;
    ASSERT_TRUE(ApplyMemory(file, fresh, error)) << error;
    for (int a = 1; a <= 4; ++a) {
        for (const Region &r : cards[0].network.At(a)->regions()) {
            EXPECT_EQ(fresh[0].network.At(a)->Find(r.code)->bytes, r.bytes) << "secondary " << a << " " << r.name;
        }
    }
}

TEST(KeptMemory, SkipsWhatTheNetworkNoLongerHas) {
    std::istringstream in("card D000\nsecondary 1\nvalue 1 1 5\n"
                          "card C800\nsecondary 9\nvalue 1 1 5\n"
                          "secondary 1\nvalue 0x77 1 5\nvalue 1 1024 1 2\nvalue 1 3 9\n");
    std::vector<CardPlan> cards;
    cards.push_back(CardPlan{0xC800, Network::Default()});
    std::string error;
    ASSERT_TRUE(ApplyMemory(in, cards, error)) << error;
    EXPECT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].network.At(9), nullptr);
    const Region &v = *cards[0].network.At(1)->Find(0x01);
    EXPECT_EQ(v.Get(1024), 0u) << "a run past the end is skipped whole";
    EXPECT_EQ(v.Get(3), 9u);
}

TEST(KeptMemory, RefusesRegionLines) {
    std::istringstream in("card C800\nsecondary 1\nregion 1 16 4\n");
    std::vector<CardPlan> cards;
    cards.push_back(CardPlan{0xC800, Network::Default()});
    std::string error;
    EXPECT_FALSE(ApplyMemory(in, cards, error));
}

struct ControlCase {
    const char *command;
    const char *answer; // exact, or the start of an error
    const char *status; // DescribeFaults afterwards
};

void PrintTo(const ControlCase &c, std::ostream *os) {
    *os << c.command;
}

class ControlCommands : public ::testing::TestWithParam<ControlCase> {};

TEST_P(ControlCommands, ChangeTheSwitchesOrLeaveThemAlone) {
    FaultSwitches f;
    f.replyDelayMs = 7; // something set before, which an error must not disturb
    const std::string answer = ApplyControl(GetParam().command, f);
    EXPECT_EQ(answer.rfind(GetParam().answer, 0), 0u) << answer;
    EXPECT_EQ(DescribeFaults(f), GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ControlCommands,
    ::testing::Values(
        ControlCase{"drop-ack on", "ok", "drop-ack delay 7"}, ControlCase{"no-reset on", "ok", "no-reset delay 7"},
        ControlCase{"ack-no-reply 1", "ok", "ack-no-reply delay 7"},
        ControlCase{"keep-command on", "ok", "keep-command delay 7"},
        ControlCase{"reset-forgets on", "ok", "reset-forgets delay 7"}, ControlCase{"delay 500", "ok", "delay 500"},
        ControlCase{"delay 0", "ok", "normal"}, ControlCase{"delay 3600001", "error", "delay 7"},
        ControlCase{"delay -1", "error", "delay 7"},
        ControlCase{"mhiu-error 0x0102", "ok", "delay 7 mhiu-error 0x0102"},
        ControlCase{"mhiu-error 0x10000", "error", "delay 7"},
        ControlCase{"primitive-error 11", "ok", "delay 7 primitive-error 0x0B"},
        ControlCase{"primitive-error 0x100", "error", "delay 7"},
        ControlCase{"reply-size 0xFFFF", "ok", "delay 7 reply-size 65535"},
        ControlCase{"reply-size off", "ok", "delay 7"}, ControlCase{"fail-next 3", "ok", "delay 7 fail-next 3"},
        ControlCase{"disconnect 5", "ok", "delay 7 disconnect 5"}, ControlCase{"disconnect 0", "error", "delay 7"},
        ControlCase{"disconnect 32", "error", "delay 7"},
        ControlCase{"fail-config 3 no-reply", "ok", "delay 7 fail-config 3 no-reply"},
        ControlCase{"fail-config 2 mhiu", "ok", "delay 7 fail-config 2 mhiu 0x0106"},
        ControlCase{"fail-config 4 mhiu 0x0A01", "ok", "delay 7 fail-config 4 mhiu 0x0A01"},
        ControlCase{"fail-config 5 no-reply", "error", "delay 7"},
        ControlCase{"fail-config 1 sometimes", "error", "delay 7"}, ControlCase{"clear", "ok", "normal"},
        ControlCase{"clear now", "error", "delay 7"}, ControlCase{"status", "delay 7", "delay 7"},
        ControlCase{"drop-ack maybe", "error", "delay 7"}, ControlCase{"drop-ack", "error", "delay 7"},
        ControlCase{"", "error", "delay 7"}, ControlCase{"explode", "error: unknown command", "delay 7"}));

TEST(ControlCommands, ReconnectUndoesDisconnect) {
    FaultSwitches f;
    ASSERT_EQ(ApplyControl("disconnect 5", f), "ok");
    ASSERT_EQ(ApplyControl("disconnect 6", f), "ok");
    ASSERT_EQ(ApplyControl("reconnect 5", f), "ok");
    EXPECT_EQ(DescribeFaults(f), "disconnect 6");
}

// The line rate belongs to the card's set-up: status shows it, clearing the
// faults leaves it, and a refused rate changes nothing.
TEST(ControlCommands, LineRateIsSetUpNotAFault) {
    Network network = Network::Default();
    Adapter adapter(network);
    Card card(adapter);
    ASSERT_EQ(ApplyCardControl("line-rate 115200", card, adapter), "ok");
    ASSERT_EQ(ApplyCardControl("delay 3", card, adapter), "ok");
    EXPECT_EQ(ApplyCardControl("status", card, adapter), "delay 3 line-rate 115200");
    ASSERT_EQ(ApplyCardControl("clear", card, adapter), "ok");
    EXPECT_EQ(ApplyCardControl("status", card, adapter), "line-rate 115200");
    for (const char *bad : {"line-rate 299", "line-rate 10000001", "line-rate fast", "line-rate", "line-rate 1 2"}) {
        EXPECT_EQ(ApplyCardControl(bad, card, adapter).rfind("error", 0), 0u) << bad;
        EXPECT_EQ(card.lineBitsPerSecond, 115200u) << bad;
    }
    ASSERT_EQ(ApplyCardControl("line-rate off", card, adapter), "ok");
    EXPECT_EQ(card.lineBitsPerSecond, 0u);
    EXPECT_EQ(ApplyCardControl("status", card, adapter), "normal");
}

// A changed program: the region keeps the values of the elements it keeps.
// And what the card counted.
TEST(ControlCommands, RegionResizesOneRegionOfOneSecondary) {
    Network network = Network::Default();
    Adapter adapter(network);
    Card card(adapter);
    Region &v = *network.At(2)->Find(0x01);
    v.Set(500, 0x1234);
    v.Set(600, 0x5678);
    EXPECT_EQ(ApplyCardControl("counts", card, adapter), "resets 0 requests 0");
    ASSERT_EQ(ApplyCardControl("region 2 0x01 512", card, adapter), "ok");
    EXPECT_EQ(v.count(), 512u);
    EXPECT_EQ(v.Get(500), 0x1234u);
    EXPECT_EQ(network.At(1)->Find(0x01)->count(), 1024u);
    for (const char *bad : {"region 2 0x01 0", "region 9 0x01 10", "region 2 0x77 10", "region 2 0x01"}) {
        EXPECT_EQ(ApplyCardControl(bad, card, adapter).rfind("error", 0), 0u) << bad;
    }
}

// A program writing its own memory: consecutive elements of one region, all
// of them or none.
TEST(ControlCommands, ValueWritesConsecutiveElementsOrNone) {
    Network network = Network::Default();
    Adapter adapter(network);
    Card card(adapter);
    Region &v = *network.At(2)->Find(0x01);
    ASSERT_EQ(ApplyCardControl("value 2 0x01 1023 0x1234 65535", card, adapter), "ok");
    EXPECT_EQ(v.Get(1023), 0x1234u);
    EXPECT_EQ(v.Get(1024), 0xFFFFu);
    EXPECT_EQ(network.At(1)->Find(0x01)->Get(1023), 0u);
    for (const char *bad : {"value 2 0x01 1023 1 2 3", "value 2 0x01 1 7 65536", "value 2 0x01 0 7", "value 9 0x01 1 7",
                            "value 2 0x77 1 7", "value 2 0x01 1"}) {
        EXPECT_EQ(ApplyCardControl(bad, card, adapter).rfind("error", 0), 0u) << bad;
        EXPECT_EQ(v.Get(1), 0u) << bad;
        EXPECT_EQ(v.Get(1023), 0x1234u) << bad;
    }
}

// A float goes in as its bits: one element of a 32-bit region, two of a
// 16-bit one, high word first (a host's double region); read answers what
// the controller holds.
TEST(ControlCommands, FloatValuesAndReadBack) {
    Network network = Network::Default();
    Adapter adapter(network);
    Card card(adapter);
    ASSERT_EQ(ApplyCardControl("value 2 0x01 10 21.5 7", card, adapter), "ok");
    EXPECT_EQ(ApplyCardControl("read 2 0x01 10 3", card, adapter), "0x41AC 0x0000 0x0007");
    EXPECT_EQ(ApplyCardControl("read 2 0x01 10 1 float", card, adapter), "21.5");
    ASSERT_EQ(ApplyCardControl("value 2 0x0B 1024 -2.5e3", card, adapter), "ok");
    EXPECT_EQ(ApplyCardControl("read 2 0x0B 1024", card, adapter), "0xC51C4000");
    EXPECT_EQ(ApplyCardControl("read 2 0x0B 1024 1 float", card, adapter), "-2500");
    EXPECT_EQ(ApplyCardControl("read 2 0x03 1 2", card, adapter), "0x00 0x00");
    for (const char *bad : {"value 2 0x03 1 1.5", "value 2 0x01 1024 1.5", "value 2 0x0B 1 1e39", "value 2 0x01 1 x.5",
                            "read 2 0x01 1024 2", "read 2 0x03 1 1 float", "read 2 0x01 0", "read 9 0x01 1",
                            "read 2 0x01 1 257", "read 2 0x01"}) {
        EXPECT_EQ(ApplyCardControl(bad, card, adapter).rfind("error", 0), 0u) << bad;
    }
    EXPECT_EQ(network.At(2)->Find(0x01)->Get(1024), 0u) << "a refused value writes nothing";
}

// A switch for a secondary no card has is an error, not a silent "ok"; with
// several cards, the one that has it takes it.
TEST(ControlCommands, DisconnectNeedsTheSecondary) {
    std::vector<CardPlan> plans;
    std::istringstream config("card C800\nsecondary 1\nregion 1 16 4\ncard D000\nsecondary 7\nregion 1 16 4\n");
    std::string error;
    ASSERT_TRUE(ReadNetworkConfig(config, plans, error)) << error;
    auto cards = MakeServedCards(plans);
    EXPECT_EQ(ApplyServedControl("disconnect 7", cards), "ok");
    EXPECT_EQ(ApplyServedControl("card D000 status", cards), "disconnect 7");
    EXPECT_EQ(ApplyServedControl("card C800 status", cards), "normal");
    EXPECT_EQ(ApplyServedControl("reconnect 9", cards), "error: no secondary 9 on this card");
    EXPECT_EQ(ApplyServedControl("card C800 disconnect 7", cards).rfind("error", 0), 0u);
    EXPECT_EQ(ApplyServedControl("card C800 status", cards), "normal");
}

struct TraceCase {
    std::vector<std::uint8_t> request;
    std::vector<std::uint8_t> reply;
    Exchange::Outcome outcome;
    const char *line;
};

void PrintTo(const TraceCase &c, std::ostream *os) {
    *os << c.line;
}

class TraceLines : public ::testing::TestWithParam<TraceCase> {};

TEST_P(TraceLines, DecodeTheExchange) {
    const TraceCase &c = GetParam();
    const Exchange e{c.outcome, c.request, c.reply, static_cast<std::uint16_t>(c.reply.size()), 0};
    EXPECT_EQ(DescribeExchange(e), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Exchanges, TraceLines,
    ::testing::Values(
        TraceCase{{0x04, 0x03}, {0x02, 0x03}, Exchange::Outcome::Replied, "connect sec 3 -> kind 2 03"},
        TraceCase{{0x01, 0x01, 0x00, 0x06, 0x20, 0x01, 0x00, 0x01, 0x00, 0x64},
                  {0x01, 0x01, 0x00, 0x20, 0x00, 0x01, 0x12, 0x34},
                  Exchange::Outcome::Replied,
                  "prim sec 1 read V(01) elem 100 count 1 -> kind 1 ok data 1234"},
        TraceCase{{0x01, 0x02, 0x00, 0x06, 0x30, 0x03, 0x00, 0x0A, 0x01, 0x00},
                  {0x01, 0x02, 0x00, 0x30, 0x00, 0x02},
                  Exchange::Outcome::Replied,
                  "prim sec 2 write X(03) elem 10 data 0100 -> kind 1 ok"},
        TraceCase{{0x01, 0x01, 0x00, 0x06, 0x20, 0x07, 0x00, 0x01, 0x00, 0x01},
                  {0x01, 0x01, 0x00, 0x00, 0x01, 0x00},
                  Exchange::Outcome::Replied,
                  "prim sec 1 read (07) elem 1 count 1 -> kind 1 primitive error 0x0001"},
        TraceCase{
            {0x00, 0x06}, {0x00, 0x01, 0x03}, Exchange::Outcome::Replied, "list connected -> kind 0 MHIU error 0x0103"},
        TraceCase{{0x11}, {}, Exchange::Outcome::Lost, "command 11 -> lost (accepted, no reply)"},
        TraceCase{{}, {}, Exchange::Outcome::Swallowed, "empty request -> swallowed (accepted, never answered)"}));

TEST(PlanCards, DefaultsAndRefusals) {
    std::vector<CardPlan> plans;
    std::string error;
    ASSERT_TRUE(PlanCards({}, plans, error));
    ASSERT_EQ(plans.size(), 1u);
    EXPECT_EQ(plans[0].segment, 0xC800);
    EXPECT_NE(plans[0].network.At(4), nullptr);
    EXPECT_EQ(plans[0].network.At(5), nullptr);

    plans.clear();
    ASSERT_TRUE(PlanCards({0xC800, 0xD000, 0xC800}, plans, error));
    EXPECT_EQ(plans.size(), 2u);

    plans.clear();
    ASSERT_TRUE(PlanCards({0xFF80}, plans, error)) << "the last window that fits 1 MiB";
    plans.clear();
    EXPECT_FALSE(PlanCards({0xFF81}, plans, error));
    plans.clear();
    EXPECT_FALSE(PlanCards({0xC800, 0xC87F}, plans, error)) << "windows 0x7F0 bytes apart overlap";
    plans.clear();
    EXPECT_TRUE(PlanCards({0xC800, 0xC880}, plans, error));
}

bool ParseArgs(std::vector<const char *> args, Options &o, std::string &error) {
    args.insert(args.begin(), "tiwaysim");
    return ParseOptions(static_cast<int>(args.size()), args.data(), "/dev/shm/build-default", o, error);
}

TEST(SimCommandLine, EveryOptionReachesItsField) {
    Options o;
    std::string error;
    ASSERT_TRUE(ParseArgs({"--card", "C800", "--config", "net.conf", "--card=0xD000", "--memory", "mem", "--control",
                           "sock", "--ready-file", "ready", "--trace", "--poll-us", "0x20", "--remove-device",
                           "--configured", "--line-rate", "115200"},
                          o, error))
        << error;
    EXPECT_EQ(o.device, "/dev/shm/build-default");
    EXPECT_EQ(o.cards, (std::vector<std::uint16_t>{0xC800, 0xD000})) << "every --card, in order";
    EXPECT_EQ(o.config, "net.conf");
    EXPECT_EQ(o.memory, "mem");
    EXPECT_EQ(o.control, "sock");
    EXPECT_EQ(o.readyFile, "ready");
    EXPECT_TRUE(o.trace && o.removeDevice && o.configured);
    EXPECT_EQ(o.pollMicros, 0x20u);
    EXPECT_EQ(o.lineRate, 115200u);
    EXPECT_FALSE(o.help || o.version);

    Options client;
    ASSERT_TRUE(ParseArgs({"--send", "/tmp/sock", "delay 500", "--device", "/tmp/dev"}, client, error)) << error;
    EXPECT_EQ(client.sendPath, "/tmp/sock");
    EXPECT_EQ(client.sendCommand, "delay 500");
    EXPECT_EQ(client.device, "/tmp/dev");
    EXPECT_EQ(client.pollMicros, 100u);
    EXPECT_EQ(client.lineRate, 0u);

    Options asks;
    ASSERT_TRUE(ParseArgs({"-h", "--version"}, asks, error)) << error;
    EXPECT_TRUE(asks.help && asks.version);
}

TEST(SimCommandLine, BadArgumentsAreRefused) {
    const std::vector<std::vector<const char *>> bad{
        {"--card", "G000"},
        {"--card", "10000"},
        {"--card", "C800", "D000"},
        {"--poll-us", "9"},
        {"--poll-us", "10001"},
        {"--line-rate", "299"},
        {"--send", "/tmp/sock"},
        {"--send", "a", "b", "c"},
        {"--device", ""},
        {"--device"},
        {"--trace=1"},
        {"--bogus"},
        {"stray"},
    };
    for (const auto &args : bad) {
        Options o;
        std::string error;
        EXPECT_FALSE(ParseArgs(args, o, error)) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
    Options o;
    std::string error;
    EXPECT_FALSE(ParseArgs({"--line-rate", "10000001"}, o, error));
    EXPECT_EQ(error, "--line-rate takes 300..10000000 bits per second");
}

} // namespace
} // namespace tiwaysim
