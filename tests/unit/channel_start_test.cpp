#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>

#include "host/build_stamp.h"
#include "host/channel_start.h"
#include "support/capture_log.h"
#include "support/scripted_card.h"
#include "support/temp_dir.h"
#include "support/test_channel.h"
#include "tiway/adapter_configuration.h"

namespace orvtiw {
namespace {

using test::Bytes;
using test::CaptureLog;
using test::ScriptedAnswer;
using test::ScriptedCard;
using test::TempWorkingDir;
using test::TestChannel;
using test::VirtualPlatform;

const Bytes kCommand1{0x20, 0x01, 0x00, 0x04, 0x03, 0x00, 0x20};
const Bytes kCommand2{0x11};
const Bytes kCommand3{0x30, 0x01, 0x6B, 0x6B, 0x09, 0x00, 0x28};
const Bytes kCommand4{0x19, 0x28, 0x01};

class ChannelStartTest : public ::testing::Test {
protected:
    ChannelStartTest() : card(vp) {}
    int coldStart(int online, int timeout) {
        start = StartRecord{0, 0, 0, online, timeout};
        return ch.run(ORV_OP_COLD_START, &start);
    }
    int warmStart(int address) {
        warm = WarmStartRecord{address};
        return ch.run(ORV_OP_WARM_START, &warm);
    }
    // The pauses of 5000 ms taken by the configuration, in order.
    std::size_t configurationPauses() const {
        std::size_t n = 0;
        for (std::uint32_t s : vp.sleeps) {
            n += s == 5000 ? 1 : 0;
        }
        return n;
    }
    std::vector<std::string> formats() const { return log.formats(); }

    TempWorkingDir dir;
    CaptureLog log;
    VirtualPlatform vp;
    ScriptedCard card;
    TestChannel ch{3};
    StartRecord start{};
    WarmStartRecord warm{};
};

TEST_F(ChannelStartTest, WithoutCardReadsTheFileAndOpensNothing) {
    std::memset(&ch.inst, 0xA5, static_cast<std::size_t>(kInstanceSize)); // raw host memory
    EXPECT_EQ(coldStart(0, 250), 0);
    EXPECT_EQ(vp.systemCalls(), 0u);
    EXPECT_EQ(+ch.inst.replyTimeout, 0);
    EXPECT_EQ(+ch.inst.device, kInvalidDevice);
    EXPECT_EQ(+ch.inst.window, nullptr);
    EXPECT_EQ(+ch.inst.cardSegment, 0xC800);
    EXPECT_EQ(+ch.inst.cardWindowSize, 0x800);
    EXPECT_EQ(+ch.inst.channel, 3u);
    std::string defined;
    for (int i = 0; i < kRegionCount; ++i) {
        if (ch.inst.regions[i].multiple != 0) {
            defined += static_cast<char>('A' + i);
        }
    }
    EXPECT_EQ(defined, "CVXY");
    EXPECT_EQ(+RegionOf(ch.inst, 'X').tt, 0x03);
    for (int a = 0; a < kSecondaryCount; ++a) {
        ASSERT_EQ(+ch.inst.secondaryInUse[a], 0);
    }
    ASSERT_EQ(log.entries().size(), 2u);
    EXPECT_EQ(log.entries()[0].format, "ORV%02d: TIW: Version 7.00 Built %s %s");
    EXPECT_EQ(log.entries()[0].level, 32);
    EXPECT_EQ(log.entries()[0].text, std::string("ORV03: TIW: Version 7.00 Built ") + BuildDate() + " " + BuildTime());
    EXPECT_EQ(log.entries()[1].text, "ORV03: TIW: ColdStart(): Failed to read init file, using defaults");
}

TEST(BuildStamp, HasTheFormsOfTheVersionLine) {
    EXPECT_TRUE(std::regex_match(BuildDate(), std::regex("(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                                         "[0-3][0-9] [0-9]{4}")))
        << BuildDate();
    EXPECT_TRUE(std::regex_match(BuildTime(), std::regex("[0-2][0-9]:[0-5][0-9]:[0-5][0-9]"))) << BuildTime();
}

TEST_F(ChannelStartTest, ConfiguredAdapterStopsAfterTheFirstCommand) {
    card.queueReply({0x02, 0x01});
    EXPECT_EQ(coldStart(1, 0), 0);
    EXPECT_EQ(card.requests, std::vector<Bytes>{kCommand1});
    EXPECT_EQ(configurationPauses(), 0u);
    EXPECT_EQ(+ch.inst.replyTimeout, 1000);
    EXPECT_EQ(log.texts().back(), "ORV03: TIW: ColdStart(): TIWAY Host Adapter Driver loaded successfully");
    EXPECT_EQ(log.entries().size(), 3u);
}

TEST_F(ChannelStartTest, UnconfiguredAdapterGetsTheWholeSequenceWithBothPauses) {
    card.queueReply({0x02, 0x00});
    EXPECT_EQ(coldStart(1, 250), 0);
    EXPECT_EQ(card.requests, (std::vector<Bytes>{kCommand1, kCommand2, kCommand3, kCommand4}));
    EXPECT_EQ(configurationPauses(), 2u);
    EXPECT_EQ(+ch.inst.replyTimeout, 2500);
    EXPECT_EQ(log.texts().back(), "ORV03: TIW: ColdStart(): TIWAY Host Adapter Driver loaded successfully");
}

TEST_F(ChannelStartTest, TimeoutCountsBelow100CountAs100AndTheTenfoldSaturates) {
    const std::pair<int, int> cases[] = {{0, 1000}, {99, 1000}, {-5, 1000}, {100, 1000}, {250, 2500},
                                         {0x7FFFFFFF, 0x7FFFFFFF}};
    for (const auto &[units, ms] : cases) {
        card.queueReply({0x02, 0x01});
        EXPECT_EQ(coldStart(1, units), 0);
        EXPECT_EQ(+ch.inst.replyTimeout, ms) << units;
        ch.run(ORV_OP_CLOSE_COM, nullptr);
    }
}

TEST_F(ChannelStartTest, FirstCommandFailingIsLoggedAndIgnored) {
    card.queueReply(test::MhiuErrorReply(0x0033));
    EXPECT_EQ(coldStart(1, 100), 0);
    EXPECT_EQ(card.requests.size(), 4u);
    EXPECT_EQ(configurationPauses(), 2u);
    EXPECT_EQ(log.texts()[2], "ORV03: TIW: CheckReply() - MHIU Error: 0x0033");
    EXPECT_EQ(log.texts().back(), "ORV03: TIW: ColdStart(): TIWAY Host Adapter Driver loaded successfully");
}

TEST_F(ChannelStartTest, SecondCommandFailingStillPausesAndStops) {
    struct Case {
        ScriptedAnswer answer;
        int rc;
    } cases[] = {
        {ScriptedAnswer{ScriptedAnswer::Mode::Reply, test::MhiuErrorReply(1)}, 2},
        {ScriptedAnswer{ScriptedAnswer::Mode::AcknowledgeOnly, {}, 0, -1, 5}, -1},
    };
    for (const Case &c : cases) {
        log.clear();
        vp.sleeps.clear();
        card.requests.clear();
        card.queueReply({0x02, 0x00});
        card.queue(c.answer);
        EXPECT_EQ(coldStart(1, 100), 0);
        EXPECT_EQ(card.requests.size(), 2u);
        EXPECT_EQ(configurationPauses(), 1u);
        const std::vector<std::string> texts = log.texts();
        ASSERT_GE(texts.size(), 2u);
        EXPECT_EQ(texts[texts.size() - 2], "ORV03: TIW: ConfigureAdapter(): fail rc = " + std::to_string(c.rc));
        EXPECT_EQ(texts.back(), "ORV03: TIW: ColdStart(): Fail rc = " + std::to_string(c.rc) + " ");
        EXPECT_NE(+ch.inst.device, kInvalidDevice) << "the link stays ready";
        ch.run(ORV_OP_CLOSE_COM, nullptr);
    }
}

TEST_F(ChannelStartTest, ThirdCommandFailingTakesNoPauseAndSendsNoFourth) {
    card.queueReply({0x02, 0x00});
    card.queueReply(test::OkReply());
    card.queueReply(test::PrimitiveErrorReply(0x02));
    EXPECT_EQ(coldStart(1, 100), 0);
    EXPECT_EQ(card.requests.size(), 3u);
    EXPECT_EQ(configurationPauses(), 1u);
    EXPECT_EQ(log.texts().back(), "ORV03: TIW: ColdStart(): Fail rc = 2 ");
}

TEST_F(ChannelStartTest, FailedOpenReturns2WithTheFileRegionsKept) {
    dir.write("OrvTiw03.int", "D000;800\nK;02;2;1\n");
    vp.failOpen = true;
    EXPECT_EQ(coldStart(1, 300), 2);
    EXPECT_EQ(+ch.inst.replyTimeout, 3000) << "kept for the warm start that recovers the channel";
    EXPECT_EQ(+RegionOf(ch.inst, 'K').multiple, 1);
    EXPECT_EQ(log.texts().back(), "ORV03: TIW: ColdStart(): Failed to open card at 0xD000");
    EXPECT_EQ(log.texts().size(), 4u);
}

// The commissioning mistake of a card segment where no card is: the reset
// is never answered, so after its pause and time-out (1 s + 20 s) the start
// fails with the link closed and nothing sent.
TEST_F(ChannelStartTest, SegmentWithoutACardFailsAfterTheResetTimeOut) {
    dir.write("OrvTiw03.int", "E000;800\n");
    card.answerReset = false;
    EXPECT_EQ(coldStart(1, 100), 2);
    EXPECT_EQ(vp.sleptMs, 21001u);
    EXPECT_TRUE(card.requests.empty());
    EXPECT_EQ(+ch.inst.device, kInvalidDevice);
    const std::vector<std::string> texts = log.texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[texts.size() - 2], "ORV03: TIW: Host Adapter Reset, Card didn't respond to reset");
    EXPECT_EQ(texts.back(), "ORV03: TIW: ColdStart(): Failed to open card at 0xE000");
}

TEST_F(ChannelStartTest, WarmStartKeepsTheChannelAndReconnectsWhenTheAddressIsInUse) {
    dir.write("OrvTiw03.int", "C800;800\nK;02;2;1\n");
    card.queueReply({0x02, 0x01});
    ASSERT_EQ(coldStart(1, 200), 0);
    ch.inst.secondaryInUse[6] = 1;
    dir.write("OrvTiw03.int", "C800;800\nQ;02;2;1\n"); // not read again
    log.clear();
    card.requests.clear();
    card.queueReply(test::MhiuErrorReply(0x0001)); // command 1 fails: the sequence goes on
    card.queueReply(test::MhiuErrorReply(0x0002)); // command 2 fails: rc 2
    card.queueReply(test::ListReply({}));
    card.queueReply(test::ConnectReply(6));
    EXPECT_EQ(warmStart(6), 0) << "the reconnection's result, though configuration failed";
    EXPECT_EQ(card.requests.back(), (Bytes{0x04, 0x06}));
    EXPECT_EQ(+ch.inst.replyTimeout, 2000);
    EXPECT_EQ(+RegionOf(ch.inst, 'K').multiple, 1);
    EXPECT_EQ(+RegionOf(ch.inst, 'Q').multiple, 0);
    EXPECT_EQ(+ch.inst.secondaryInUse[6], 1);
    const std::vector<std::string> texts = log.texts();
    EXPECT_EQ(texts.front(), "ORV03: TIW: Warm Start reopen Com");
    EXPECT_EQ(texts[1], "ORV03: TIW: Warm Start Com opened");
    EXPECT_NE(std::find(texts.begin(), texts.end(), "ORV03: TIW: Configure adapter rc=2, Addr: 6"), texts.end());
    EXPECT_EQ(log.entries().front().level, 0);
}

TEST_F(ChannelStartTest, WarmStartReturnsTheConfigurationResultOtherwise) {
    card.queueReply({0x02, 0x01});
    ASSERT_EQ(coldStart(1, 100), 0);
    ch.inst.secondaryInUse[6] = 1;
    for (int address : {5, 0, 32, -1, 1000}) {
        card.requests.clear();
        card.queueReply({0x02, 0x00});
        card.queueReply(test::MhiuErrorReply(0x0002));
        EXPECT_EQ(warmStart(address), 2) << address;
        EXPECT_EQ(card.requests.size(), 2u) << "no list request for " << address;
    }
}

TEST_F(ChannelStartTest, WarmStartThatCannotReopenReturns2) {
    card.queueReply({0x02, 0x01});
    ASSERT_EQ(coldStart(1, 100), 0);
    log.clear();
    vp.failOpen = true;
    EXPECT_EQ(warmStart(1), 2);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"ORV03: TIW: Warm Start reopen Com",
                                                     "ORV03: TIW: Error opening GRELMIN driver",
                                                     "ORV03: TIW: OpenCom() Unable to open GRELMIN driver"}));
    EXPECT_EQ(+ch.inst.replyTimeout, 1000);
    EXPECT_EQ(+ch.inst.device, kInvalidDevice);
}

TEST_F(ChannelStartTest, WarmStartOpensAChannelStartedWithoutCard) {
    ASSERT_EQ(coldStart(0, 100), 0);
    card.queueReply({0x02, 0x01});
    EXPECT_EQ(warmStart(1), 0);
    EXPECT_NE(+ch.inst.device, kInvalidDevice);
    EXPECT_EQ(+ch.inst.replyTimeout, 0) << "a warm start keeps the time-out as it is";
}

} // namespace
} // namespace orvtiw
