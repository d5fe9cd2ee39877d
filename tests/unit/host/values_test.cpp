#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "orvtiw/host_values.h"

namespace orvtiw::host {
namespace {

std::optional<std::uint32_t> Parse(ValueType type, std::size_t size, const char *text) {
    std::string error;
    auto raw = ParseValue(type, size, text, error);
    if (!raw) {
        EXPECT_FALSE(error.empty()) << "a refusal must say why: " << text;
    }
    return raw;
}

TEST(ValueTypes, NamesRoundTripAndGateCodesMatchTheDriverRules) {
    for (const char *name : {"int16", "uint16", "int32", "uint32", "float", "hex", "hex32", "bit"}) {
        const auto type = ParseValueType(name);
        ASSERT_TRUE(type) << name;
        EXPECT_STREQ(ValueTypeName(*type), name);
    }
    EXPECT_FALSE(ParseValueType("INT16"));
    EXPECT_FALSE(ParseValueType("string"));
    EXPECT_FALSE(ParseValueType(""));

    EXPECT_EQ(GateTypeCode(ValueType::Int16), 0);
    EXPECT_EQ(GateTypeCode(ValueType::UInt16), 1);
    EXPECT_EQ(GateTypeCode(ValueType::Hex), 1);
    EXPECT_EQ(GateTypeCode(ValueType::Int32), 3);
    EXPECT_EQ(GateTypeCode(ValueType::UInt32), 4);
    EXPECT_EQ(GateTypeCode(ValueType::Hex32), 4);
    EXPECT_EQ(GateTypeCode(ValueType::Float), 5);
    EXPECT_EQ(GateTypeCode(ValueType::Bit), 6);
}

TEST(ParseValue, SignedIntegersAreBoundedByTheElementWidth) {
    EXPECT_EQ(Parse(ValueType::Int16, 2, "-32768"), 0x8000u);
    EXPECT_EQ(Parse(ValueType::Int16, 2, "32767"), 0x7FFFu);
    EXPECT_EQ(Parse(ValueType::Int16, 2, "-1"), 0xFFFFu);
    EXPECT_FALSE(Parse(ValueType::Int16, 2, "32768"));
    EXPECT_FALSE(Parse(ValueType::Int16, 2, "-32769"));
    EXPECT_EQ(Parse(ValueType::Int32, 4, "-2147483648"), 0x80000000u);
    EXPECT_FALSE(Parse(ValueType::Int32, 4, "2147483648"));
    // A discrete element is one unsigned byte whatever integer type is chosen.
    EXPECT_EQ(Parse(ValueType::Int16, 1, "255"), 0xFFu);
    EXPECT_FALSE(Parse(ValueType::Int16, 1, "256"));
    EXPECT_FALSE(Parse(ValueType::Int16, 1, "-1"));
}

TEST(ParseValue, UnsignedIntegersRefuseNegativesAndOverflow) {
    EXPECT_EQ(Parse(ValueType::UInt16, 2, "65535"), 0xFFFFu);
    EXPECT_FALSE(Parse(ValueType::UInt16, 2, "65536"));
    EXPECT_FALSE(Parse(ValueType::UInt16, 2, "-1"));
    EXPECT_EQ(Parse(ValueType::UInt32, 4, "4294967295"), 0xFFFFFFFFu);
    EXPECT_FALSE(Parse(ValueType::UInt32, 4, "4294967296"));
    EXPECT_FALSE(Parse(ValueType::UInt32, 4, "99999999999999999999999"));
    // A discrete element takes 0..255 although it travels in a 16-bit slot.
    EXPECT_EQ(Parse(ValueType::UInt16, 1, "255"), 0xFFu);
    EXPECT_FALSE(Parse(ValueType::UInt16, 1, "256"));
}

TEST(ParseValue, RefusesTextThatIsNotWhollyANumber) {
    for (const char *text : {"", " 1", "1 ", "12abc", "0x10", "1.5", "+", "-", "1e3"}) {
        EXPECT_FALSE(Parse(ValueType::Int16, 2, text)) << "'" << text << "'";
    }
    const std::string huge(100000, '7');
    std::string error;
    EXPECT_FALSE(ParseValue(ValueType::UInt32, 4, huge, error));
    EXPECT_LT(error.size(), 200u) << "the message must not echo unbounded input";
}

TEST(ParseValue, HexTakesAnOptionalPrefixAndTheElementWidth) {
    EXPECT_EQ(Parse(ValueType::Hex, 2, "0x1234"), 0x1234u);
    EXPECT_EQ(Parse(ValueType::Hex, 2, "abCD"), 0xABCDu);
    EXPECT_FALSE(Parse(ValueType::Hex, 2, "0x10000"));
    EXPECT_FALSE(Parse(ValueType::Hex, 2, "0x"));
    EXPECT_FALSE(Parse(ValueType::Hex, 2, "12G4"));
    EXPECT_FALSE(Parse(ValueType::Hex, 2, "-1"));
    EXPECT_EQ(Parse(ValueType::Hex32, 4, "DEADBEEF"), 0xDEADBEEFu);
    EXPECT_FALSE(Parse(ValueType::Hex32, 4, "123456789"));
    EXPECT_FALSE(Parse(ValueType::Hex, 1, "100"));
}

TEST(ParseValue, FloatsAreFiniteAndNeedA32BitElement) {
    const auto raw = Parse(ValueType::Float, 4, "-2.5");
    ASSERT_TRUE(raw);
    float back = 0;
    std::memcpy(&back, &*raw, sizeof back);
    EXPECT_EQ(back, -2.5f);
    EXPECT_TRUE(Parse(ValueType::Float, 4, "1e10"));
    EXPECT_TRUE(Parse(ValueType::Float, 4, ".5"));
    for (const char *text : {"nan", "inf", "-inf", "1e39", " 1.0", "1.0x", ""}) {
        EXPECT_FALSE(Parse(ValueType::Float, 4, text)) << text;
    }
    EXPECT_FALSE(Parse(ValueType::Float, 2, "1.0"));
}

TEST(ParseValue, BitsAreZeroOrOne) {
    EXPECT_EQ(Parse(ValueType::Bit, 2, "0"), 0u);
    EXPECT_EQ(Parse(ValueType::Bit, 2, "1"), 1u);
    EXPECT_EQ(Parse(ValueType::Bit, 1, "1"), 1u);
    EXPECT_FALSE(Parse(ValueType::Bit, 2, "2"));
    EXPECT_FALSE(Parse(ValueType::Bit, 2, "01"));
    EXPECT_FALSE(Parse(ValueType::Bit, 2, "on"));
}

TEST(FormatValue, ShowsTheSlotAsTheTypeReadsIt) {
    EXPECT_EQ(FormatValue(ValueType::Int16, 2, 0xFFFF), "-1");
    EXPECT_EQ(FormatValue(ValueType::Int16, 2, 0x8000), "-32768");
    EXPECT_EQ(FormatValue(ValueType::UInt16, 2, 0xFFFF), "65535");
    EXPECT_EQ(FormatValue(ValueType::Int32, 4, 0xFFFFFFFE), "-2");
    EXPECT_EQ(FormatValue(ValueType::UInt32, 4, 0xFFFFFFFE), "4294967294");
    EXPECT_EQ(FormatValue(ValueType::Hex, 2, 0x00AB), "0x00AB");
    EXPECT_EQ(FormatValue(ValueType::Hex, 1, 0x0F), "0x0F");
    EXPECT_EQ(FormatValue(ValueType::Hex32, 4, 0x12), "0x00000012");
    EXPECT_EQ(FormatValue(ValueType::Bit, 2, 1), "1");
    // A signed type over a discrete byte still reads it unsigned.
    EXPECT_EQ(FormatValue(ValueType::Int16, 1, 0xFF), "255");
    // Bits beyond the slot are not shown.
    EXPECT_EQ(FormatValue(ValueType::UInt16, 2, 0x12345678), "22136");

    float f = 1.5f;
    std::uint32_t raw = 0;
    std::memcpy(&raw, &f, sizeof raw);
    EXPECT_EQ(FormatValue(ValueType::Float, 4, raw), "1.5");
}

TEST(FormatValue, ParsedValuesPrintBackAsTyped) {
    struct Case {
        ValueType type;
        std::size_t size;
        const char *text;
    };
    for (const Case &c : {Case{ValueType::Int16, 2, "-1234"}, Case{ValueType::UInt32, 4, "4000000000"},
                          Case{ValueType::Int32, 4, "-7"}, Case{ValueType::Hex, 2, "0xBEEF"},
                          Case{ValueType::Float, 4, "0.100000001"}}) {
        const auto raw = Parse(c.type, c.size, c.text);
        ASSERT_TRUE(raw) << c.text;
        EXPECT_EQ(FormatValue(c.type, c.size, *raw), c.text);
    }
}

TEST(BufferLayout, SingleGatesFollowTheDriversDataAdjustment) {
    // ReadGate/WriteGate move `data` by 2 bytes for 8- and 16-bit values.
    for (auto transfer : {Transfer::ReadGate, Transfer::WriteGate}) {
        auto word = LayoutFor(transfer, 16, 255, 1);
        ASSERT_TRUE(word);
        EXPECT_EQ(word->offset, 2u);
        EXPECT_EQ(word->size, 2u);
        auto discrete = LayoutFor(transfer, 8, 0, 1);
        ASSERT_TRUE(discrete);
        EXPECT_EQ(discrete->offset, 2u);
        EXPECT_EQ(discrete->size, 2u);
        auto wide = LayoutFor(transfer, 32, 255, 1);
        ASSERT_TRUE(wide);
        EXPECT_EQ(wide->offset, 0u);
        EXPECT_EQ(wide->size, 4u);
        EXPECT_FALSE(LayoutFor(transfer, 16, 255, 2)) << "a gate transfer moves one value";
    }
}

TEST(BufferLayout, DiscreteBlocksArePackedForReadsAndSlottedForWrites) {
    auto read = LayoutFor(Transfer::ReadBlock, 8, 255, 256);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->stride, 1u);
    EXPECT_EQ(read->size, 1u);
    EXPECT_EQ(read->total, 256u);
    auto write = LayoutFor(Transfer::WriteBlock, 8, 255, 256);
    ASSERT_TRUE(write);
    EXPECT_EQ(write->stride, 2u);
    EXPECT_EQ(write->size, 2u);
    EXPECT_EQ(write->total, 512u);
}

TEST(BufferLayout, BlocksStayWithin256DataBytes) {
    EXPECT_TRUE(LayoutFor(Transfer::ReadBlock, 16, 255, 128));
    EXPECT_FALSE(LayoutFor(Transfer::ReadBlock, 16, 255, 129));
    EXPECT_TRUE(LayoutFor(Transfer::WriteBlock, 32, 255, 64));
    EXPECT_FALSE(LayoutFor(Transfer::WriteBlock, 32, 255, 65));
    EXPECT_FALSE(LayoutFor(Transfer::ReadBlock, 8, 255, 257));
    EXPECT_FALSE(LayoutFor(Transfer::ReadBlock, 16, 255, 0));
    EXPECT_FALSE(LayoutFor(Transfer::ReadBlock, 16, 255, -1));
    EXPECT_FALSE(LayoutFor(Transfer::ReadBlock, 24, 255, 1));
    EXPECT_FALSE(LayoutFor(Transfer::ReadGate, 0, 255, 1));
}

TEST(BufferLayout, ABitHoldsOneValueOnly) {
    auto one = LayoutFor(Transfer::ReadBlock, 16, 3, 1);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->size, 2u);
    EXPECT_FALSE(LayoutFor(Transfer::ReadBlock, 16, 3, 2));
    EXPECT_FALSE(LayoutFor(Transfer::WriteBlock, 16, 3, 2));
}

TEST(Slots, StoreAndLoadInHostOrderWithoutTouchingNeighbours) {
    unsigned char bytes[8];
    std::memset(bytes, 0xEE, sizeof bytes);
    StoreSlot(bytes + 2, 2, 0x12345678);
    EXPECT_EQ(bytes[1], 0xEE);
    EXPECT_EQ(bytes[4], 0xEE);
    EXPECT_EQ(LoadSlot(bytes + 2, 2), 0x5678u);
    std::uint16_t native = 0;
    std::memcpy(&native, bytes + 2, sizeof native);
    EXPECT_EQ(native, 0x5678);
    StoreSlot(bytes, 1, 0x1FF);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[1], 0xEE);
    StoreSlot(bytes + 4, 4, 0xA1B2C3D4);
    EXPECT_EQ(LoadSlot(bytes + 4, 4), 0xA1B2C3D4u);
}

} // namespace
} // namespace orvtiw::host
