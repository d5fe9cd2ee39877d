#include <gtest/gtest.h>

#include "addressing/address_parser.h"
#include "support/capture_log.h"
#include "support/scripted_card.h"
#include "support/test_channel.h"

namespace orvtiw {
namespace {

using test::Bytes;
using test::CaptureLog;
using test::ScriptedCard;
using test::TestChannel;
using test::VirtualPlatform;

constexpr int kNoOutput = 0x5A5A5A5A;

class AddressParserTest : public ::testing::Test {
protected:
    AddressParserTest() : card(vp) {
        RegionOf(ch.inst, 'V') = RegionDef{0x01, 16, 1};
        RegionOf(ch.inst, 'X') = RegionDef{0x03, 8, 1};
        RegionOf(ch.inst, 'Y') = RegionDef{0x04, 8, 1};
        RegionOf(ch.inst, 'C') = RegionDef{0x05, 8, 1};
        RegionOf(ch.inst, 'D') = RegionDef{0x0A, 16, 2};
        RegionOf(ch.inst, 'W') = RegionDef{0x0B, 32, 1};
        ch.openOn(vp.cardWindow());
        card.responder = [](const Bytes &request) { return test::ConnectReply(request[1]); };
    }
    int parse(const char *text, int gateType, int op = ORV_OP_PARSE_SINGLE_ADDRESS, int count = 1) {
        rec = AddressRecord{text, 0, gateType, count, kNoOutput, kNoOutput, kNoOutput, kNoOutput, kNoOutput};
        log.clear();
        return ch.run(op, &rec);
    }
    CaptureLog log;
    VirtualPlatform vp;
    ScriptedCard card;
    TestChannel ch{3};
    AddressRecord rec{};
};

struct Accepted {
    const char *text;
    int gateType;
    int op;
    int count;
    int plc, regionId, element, bit, width;
};

TEST_F(AddressParserTest, AcceptedAddressesDecodeAsTheHostExpects) {
    const Accepted cases[] = {
        {"01V0064", 0, 3, 1, 1, 'V', 100, 255, 16},
        {"01V0064", 1, 3, 1, 1, 'V', 100, 255, 16},
        {"01v0064", 1, 3, 1, 1, 'V', 100, 255, 16},
        {"01V00645", 6, 3, 1, 1, 'V', 100, 5, 16},
        {"01V0001F", 6, 3, 1, 1, 'V', 1, 15, 16},
        {"1fx00a0", 6, 3, 1, 31, 'X', 160, 0, 8},
        {"1FX00A0", 0, 4, 256, 31, 'X', 160, 255, 8},
        {"1FX00A0", 0, 4, 0, 31, 'X', 160, 255, 8},
        {"02D0007", 3, 3, 1, 2, 0x144, 3, 255, 32},
        {"02D0006", 3, 3, 1, 2, 0x44, 3, 255, 32},
        {"02D0006", 0, 4, 64, 2, 0x44, 3, 255, 32},
        {"02D0001", 5, 3, 1, 2, 0x144, 0, 255, 32},
        {"03W0010", 4, 3, 1, 3, 'W', 16, 255, 32},
        {"03W0010", 2, 4, 64, 3, 'W', 16, 255, 32},
    };
    for (const Accepted &c : cases) {
        EXPECT_EQ(parse(c.text, c.gateType, c.op, c.count), 0) << c.text << " type " << c.gateType;
        EXPECT_EQ(rec.plcAddress, c.plc) << c.text;
        EXPECT_EQ(rec.regionId, c.regionId) << c.text;
        EXPECT_EQ(rec.elementNumber, c.element) << c.text;
        EXPECT_EQ(rec.bitNumber, c.bit) << c.text;
        EXPECT_EQ(rec.width, c.width) << c.text;
        ASSERT_FALSE(log.entries().empty());
        EXPECT_EQ(log.entries()[0].text, "ORV03: TIW: SingleAddressParser funtcion entered");
        EXPECT_EQ(+ch.inst.blockParse, 0);
    }
}

struct Refused {
    const char *text;
    int gateType;
    int op;
    int count;
    std::vector<std::string> messages;
};

TEST_F(AddressParserTest, RefusedAddressesLogTheirMessagesAtLevel8) {
    const std::string kInvalidChar = "ORV03: TIW: Invalid character or length in gate address string";
    const Refused cases[] = {
        {"01V00645", 1, 3, 1, {"ORV03: TIW: Must be digital gate if bit number specified"}},
        {"01V0064", 6, 3, 1, {"ORV03: TIW: Must be (un)signed16 if no bit in 16 bit region single element"}},
        {"1FX00A0", 0, 4, 257, {"ORV03: TIW: Block size exceed maximum message size"}},
        {"02D0006", 0, 3, 1, {"ORV03: TIW: Must use 32-bit value in 16 bit region with double element"}},
        {"02D00061", 3, 3, 1, {"ORV03: TIW: Bits not allowed in 16 bit region with double element"}},
        {"02D00061", 3, 4, 1, {"ORV03: TIW: Bits not allowed in 16 bit region with double element"}},
        {"00V0001",
         0,
         3,
         1,
         {"ORV03: TIW: Illegal PLC Address in gate address string", "ORV03: TIW: Address \"00V0001\" is invalid"}},
        {"21V0001", 0, 3, 1, {kInvalidChar, "ORV03: TIW: Address \"21V0001\" is invalid"}},
        {"20V0001", 0, 3, 1, {kInvalidChar, "ORV03: TIW: Address \"20V0001\" is invalid"}},
        {"01V0000",
         0,
         3,
         1,
         {"ORV03: TIW: Element number must be greater then zero", "ORV03: TIW: Address \"01V0000\" is invalid"}},
        {"01Q0001", 0, 3, 1, {"ORV03: TIW: Tiw-parse Invalid Data Region Id (Q)"}},
        {"01q0001", 0, 3, 1, {"ORV03: TIW: Tiw-parse Invalid Data Region Id (Q)"}},
        {"01V0064", 7, 3, 1, {"ORV03: TIW: String gates not supported"}},
        {"01V006", 7, 3, 1, {kInvalidChar, "ORV03: TIW: Address \"01V006\" is invalid"}},
        {"", 0, 3, 1, {kInvalidChar, "ORV03: TIW: Address \"\" is invalid"}},
        {"01V00641", 0, 4, 1, {"ORV03: TIW: Must be digital gate if bit number specified"}},
        {"01V0064", 2, 4, 128, {"ORV03: TIW: Must be (un)signed16 if no bit in 16 bit region single element"}},
        {"01V0064FF", 0, 3, 1, {kInvalidChar, "ORV03: TIW: Address \"01V0064FF\" is invalid"}},
        {"01v00g4", 0, 3, 1, {kInvalidChar, "ORV03: TIW: Address \"01v00g4\" is invalid"}},
        {"01X00013", 0, 3, 1, {"ORV03: TIW: Only digital gates allowed in single byte (discrete) regions"}},
        {"01X00013", 6, 3, 1, {"ORV03: TIW: Bit number not allowed in single byte (discrete) regions"}},
        {"01X00013", 6, 4, 1, {"ORV03: TIW: Bit number not allowed in single byte (discrete) regions"}},
        {"03W00101", 3, 3, 1, {"ORV03: TIW: Bit number not allowed in 32-bit regions"}},
        {"03W0010", 1, 3, 1, {"ORV03: TIW: Must be float or (un)signed32 in 32-Bit regions"}},
        {"03W0010", 0, 4, 65, {"ORV03: TIW: Block size exceed maximum message size"}},
        {"01V0001", 0, 4, 129, {"ORV03: TIW: Block size exceed maximum message size"}},
        {"01V0001", 0, 4, 0x40000001, {"ORV03: TIW: Block size exceed maximum message size"}},
    };
    for (const Refused &c : cases) {
        EXPECT_EQ(parse(c.text, c.gateType, c.op, c.count), 1) << c.text;
        std::vector<std::string> texts = log.texts();
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts.front(), "ORV03: TIW: SingleAddressParser funtcion entered");
        texts.erase(texts.begin());
        // The connection of a newly named secondary may log nothing here: the card answers.
        EXPECT_EQ(texts, c.messages) << c.text;
        for (const auto &e : log.entries()) {
            EXPECT_EQ(e.level, 8) << e.text;
        }
        EXPECT_EQ(+ch.inst.blockParse, 0);
    }
}

TEST_F(AddressParserTest, OutputsWrittenBeforeARefusalKeepTheirValues) {
    EXPECT_EQ(parse("01V0064", 7, 3), 1);
    EXPECT_EQ(rec.plcAddress, 0);
    EXPECT_EQ(rec.width, 16);
    EXPECT_EQ(rec.bitNumber, 255);
    EXPECT_EQ(rec.regionId, kNoOutput);
    EXPECT_EQ(parse("01V006", 0, 3), 1);
    EXPECT_EQ(rec.plcAddress, kNoOutput) << "a malformed text writes nothing";
}

TEST_F(AddressParserTest, MessagesCarryTheChannelOfTheirSource) {
    // Once ColdStart has run the two agree; here they differ to show which is which.
    ch.inst.channel = 9;
    parse("01V0000", 0, 3);
    EXPECT_EQ(log.entries()[1].channel, 3);
    parse("01Q0001", 0, 3);
    EXPECT_EQ(log.entries()[1].channel, 9);
    parse("01X0001", 0, 3);
    EXPECT_EQ(log.entries()[1].channel, 9) << "region rules carry the Instance's channel";
    parse("01V0001", 0, 4, 200);
    EXPECT_EQ(log.entries().back().channel, 9);
    parse("01V0064", 7, 3);
    EXPECT_EQ(log.entries()[1].channel, 3);
}

TEST_F(AddressParserTest, FirstAddressOfASecondaryConnectsIt) {
    EXPECT_EQ(parse("05V0001", 0, 3), 0);
    ASSERT_EQ(card.requests.size(), 1u);
    EXPECT_EQ(card.requests[0], (Bytes{0x04, 0x05}));
    EXPECT_EQ(+ch.inst.secondaryInUse[5], 1);
    EXPECT_EQ(parse("05V0002", 0, 3), 0);
    EXPECT_EQ(parse("05X0002", 0, 4, 10), 0);
    EXPECT_EQ(card.requests.size(), 1u) << "a secondary already in use is not connected again";

    // A refused block still connects, because the size is checked after the parse.
    EXPECT_EQ(parse("06V0001", 0, 4, 200), 1);
    EXPECT_EQ(card.requests.size(), 2u);
    EXPECT_EQ(+ch.inst.secondaryInUse[6], 1);
    // A refused address connects nothing.
    EXPECT_EQ(parse("07V0001", 6, 3), 1);
    EXPECT_EQ(+ch.inst.secondaryInUse[7], 0);
    EXPECT_EQ(card.requests.size(), 2u);
}

TEST_F(AddressParserTest, FailedConnectionStillAcceptsAndMarks) {
    card.queueReply(test::MhiuErrorReply(0x0102));
    EXPECT_EQ(parse("08V0001", 0, 3), 0);
    EXPECT_EQ(+ch.inst.secondaryInUse[8], 1);
    EXPECT_EQ(log.texts().back(), "ORV03: TIW: CheckReply() - MHIU Error: 0x0102");
}

TEST(AddressParserWithoutCard, ConnectFailsInTheLinkAndTheAddressIsAccepted) {
    CaptureLog log;
    TestChannel ch{4};
    RegionOf(ch.inst, 'V') = RegionDef{0x01, 16, 1};
    AddressRecord rec{"0AV0001", 0, 0, 1, 0, 0, 0, 0, 0};
    EXPECT_EQ(ch.run(ORV_OP_PARSE_SINGLE_ADDRESS, &rec), 0);
    EXPECT_EQ(+ch.inst.secondaryInUse[10], 1);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"ORV04: TIW: SingleAddressParser funtcion entered",
                                                     "ORV04: TIW: SendStr() GRELMIN not open"}));
}

TEST(AddressParserWithoutCard, NullTextIsRefusedLikeAnEmptyOne) {
    CaptureLog log;
    TestChannel ch{4};
    AddressRecord rec{nullptr, 0, 0, 1, 0, 0, 0, 0, 0};
    EXPECT_EQ(ch.run(ORV_OP_PARSE_SINGLE_ADDRESS, &rec), 1);
    EXPECT_EQ(log.texts().back(), "ORV04: TIW: Address \"\" is invalid");
}

} // namespace
} // namespace orvtiw
