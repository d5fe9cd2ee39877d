#include <gtest/gtest.h>

#include <cstring>

#include "host/link_operations.h"
#include "link/card_window.h"
#include "link/platform.h"
#include "support/capture_log.h"
#include "support/scripted_card.h"
#include "support/test_channel.h"

namespace orvtiw {
namespace {

using test::CaptureLog;
using test::ControlCall;
using test::ScriptedCard;
using test::TestChannel;
using test::VirtualPlatform;

std::vector<std::uint32_t> Words(const std::vector<std::uint8_t> &bytes) {
    std::vector<std::uint32_t> words(bytes.size() / 4);
    std::memcpy(words.data(), bytes.data(), words.size() * 4);
    return words;
}

std::uintptr_t AddressIn(const ControlCall &c) {
    std::uintptr_t address = 0;
    std::memcpy(&address, c.input.data(), std::min(c.input.size(), sizeof address));
    return address;
}

class CardWindowTest : public ::testing::Test {
protected:
    CardWindowTest() : card(vp) {
        ch.inst.cardSegment = 0xC800;
        ch.inst.cardWindowSize = 0x800;
    }
    CaptureLog log;
    VirtualPlatform vp;
    ScriptedCard card;
    TestChannel ch;
};

TEST_F(CardWindowTest, OpenMapsTheCardWindowAndResetsTheAdapter) {
    EXPECT_EQ(OpenCom(&ch.call), 0);
    ASSERT_EQ(vp.opens.size(), 1u);
    EXPECT_EQ(vp.opens[0].path, DevicePath());
    EXPECT_EQ(vp.opens[0].access, 0xC0000000u);
    EXPECT_EQ(vp.opens[0].shareMode, 0u);
    EXPECT_EQ(vp.opens[0].disposition, 3u);
    EXPECT_EQ(vp.opens[0].flags, 0x80u);
    ASSERT_EQ(vp.controls.size(), 1u);
    const ControlCall &map = vp.controls[0];
    EXPECT_EQ(map.code, 0xD0532000u);
    EXPECT_EQ(Words(map.input), (std::vector<std::uint32_t>{1, 0, 0x000C8000, 0, 0, 0x00000800}));
    EXPECT_EQ(map.outSize, sizeof(void *));
    EXPECT_TRUE(map.bytesReturnedGiven);
    EXPECT_EQ(+ch.inst.device, vp.handle);
    EXPECT_EQ(+ch.inst.window, vp.cardWindow());
    EXPECT_EQ(card.resets, 1);
    EXPECT_TRUE(log.entries().empty());

    // Closing unmaps the very address the map returned, then closes.
    EXPECT_EQ(CloseCom(&ch.call), 0);
    ASSERT_EQ(vp.controls.size(), 2u);
    EXPECT_EQ(vp.controls[1].code, 0xD0532004u);
    EXPECT_EQ(AddressIn(vp.controls[1]), reinterpret_cast<std::uintptr_t>(vp.cardWindow()));
    EXPECT_EQ(vp.controls[1].outSize, 0u);
    EXPECT_EQ(vp.closes, std::vector<DeviceHandle>{vp.handle});
    EXPECT_EQ(+ch.inst.window, nullptr);
    EXPECT_EQ(+ch.inst.device, kInvalidDevice);
}

TEST_F(CardWindowTest, MissingDeviceLogsTwoLinesAndMapsNothing) {
    vp.failOpen = true;
    EXPECT_EQ(OpenCom(&ch.call), 2);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"ORV03: TIW: Error opening GRELMIN driver",
                                                     "ORV03: TIW: OpenCom() Unable to open GRELMIN driver"}));
    EXPECT_TRUE(vp.controls.empty());
    EXPECT_TRUE(vp.closes.empty());
    EXPECT_EQ(+ch.inst.device, kInvalidDevice);
}

TEST_F(CardWindowTest, FailedMapUnmapsItsOutputOnceThenCloses) {
    for (bool driverWroteOutput : {false, true}) {
        log.clear();
        vp.controls.clear();
        vp.closes.clear();
        vp.failMap = true;
        vp.mapWritesOutputOnFailure = driverWroteOutput;
        EXPECT_EQ(OpenCom(&ch.call), 2);
        ASSERT_EQ(vp.controls.size(), 2u);
        EXPECT_EQ(vp.controls[1].code, 0xD0532004u);
        EXPECT_EQ(AddressIn(vp.controls[1]),
                  driverWroteOutput ? reinterpret_cast<std::uintptr_t>(vp.cardWindow()) : 0u);
        EXPECT_EQ(vp.closes.size(), 1u);
        EXPECT_EQ(log.texts(),
                  (std::vector<std::string>{"ORV03: TIW: Failed to map card memory",
                                            "ORV03: TIW: OpenCom() Unable to map card shared memory address"}));
        EXPECT_EQ(+ch.inst.window, nullptr);
        EXPECT_EQ(+ch.inst.device, kInvalidDevice);
    }
}

TEST_F(CardWindowTest, MapReturningZeroCountsAsFailure) {
    vp.mapReturnsNull = true;
    EXPECT_EQ(OpenCom(&ch.call), 2);
    EXPECT_EQ(log.texts(),
              std::vector<std::string>{"ORV03: TIW: OpenCom() Unable to map card shared memory address"});
    EXPECT_EQ(vp.controlsWithCode(0xD0532004u).size(), 0u) << "nothing mapped, nothing to unmap";
    EXPECT_EQ(vp.closes.size(), 1u);
}

TEST_F(CardWindowTest, SilentCardClosesTheLinkAfterTheResetTimeOut) {
    card.answerReset = false;
    EXPECT_EQ(OpenCom(&ch.call), 2);
    EXPECT_EQ(vp.sleptMs, 21001u);
    EXPECT_EQ(vp.controlsWithCode(0xD0532004u).size(), 1u);
    EXPECT_EQ(vp.closes.size(), 1u);
    EXPECT_EQ(log.texts(), std::vector<std::string>{"ORV03: TIW: Host Adapter Reset, Card didn't respond to reset"});
    EXPECT_EQ(+ch.inst.window, nullptr);
    EXPECT_EQ(+ch.inst.device, kInvalidDevice);
}

TEST_F(CardWindowTest, WindowTooSmallForTheMailboxIsRefusedBeforeAnyCall) {
    ch.inst.cardWindowSize = 0x3FF;
    EXPECT_EQ(OpenCom(&ch.call), 2);
    EXPECT_EQ(vp.systemCalls(), 0u);
    ASSERT_EQ(log.entries().size(), 1u);
    EXPECT_EQ(log.entries()[0].level, 32);
    EXPECT_EQ(log.entries()[0].text.rfind("ORV03: TIW: OpenCom() ", 0), 0u);
    ch.inst.cardWindowSize = 0x400;
    EXPECT_EQ(OpenCom(&ch.call), 0);
}

TEST_F(CardWindowTest, ClosingAClosedLinkMakesNoCall) {
    ch.call.params = nullptr;
    for (int op : {ORV_OP_STOP, ORV_OP_CLOSE_COM, ORV_OP_STOP}) {
        EXPECT_EQ(ch.run(op, nullptr), 0);
    }
    EXPECT_EQ(vp.systemCalls(), 0u);
}

TEST_F(CardWindowTest, ReopenReportsEachFailureAs2) {
    EXPECT_EQ(ch.run(ORV_OP_REOPEN_COM, nullptr), 0);
    EXPECT_EQ(ch.run(ORV_OP_REOPEN_COM, nullptr), 0) << "closes the open link first";
    EXPECT_EQ(vp.closes.size(), 1u);
    vp.failMap = true;
    EXPECT_EQ(ch.run(ORV_OP_REOPEN_COM, nullptr), 2);
    vp.failMap = false;
    vp.failOpen = true;
    EXPECT_EQ(ch.run(ORV_OP_REOPEN_COM, nullptr), 2);
    vp.failOpen = false;
    card.answerReset = false;
    vp.card[1022] = 0; // no '!' left from the earlier resets
    EXPECT_EQ(ch.run(ORV_OP_REOPEN_COM, nullptr), 2);
    EXPECT_EQ(+ch.inst.device, kInvalidDevice);
}

TEST_F(CardWindowTest, MappingWithoutDeviceIsRefused) {
    EXPECT_EQ(MapCardMemory(ch.inst), nullptr);
    EXPECT_EQ(log.texts(),
              std::vector<std::string>{"ORV03: TIW: Attempt to map card memory when GRLEMIN not open"});
    EXPECT_EQ(vp.systemCalls(), 0u);
}

} // namespace
} // namespace orvtiw
