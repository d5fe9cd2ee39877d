// The map file as text: every field of a range line, and errors that name
// their line. What the driver refuses is map_check_test's.
#include <gtest/gtest.h>

#include <sstream>

#include "map/map_file.h"

namespace orvgate {
namespace {

std::optional<MapFile> Read(const std::string &text, std::string &error) {
    std::istringstream in(text);
    return ReadMapFile(in, error);
}

TEST(MapFile, ReadsEveryFieldOfEachLine) {
    std::string error;
    const auto map = Read("# plant\n"
                          "channel 1 plant01.int\n"
                          "holding 0x11 100 01v0064 4 int16 rw   # four words\n"
                          "\n"
                          "channel 2 /etc/orvgate/plant02.int\n"
                          "input 7 0 02D0007 2 float low-first\n"
                          "coils 7 16 02V00643 5 bits rw\n"
                          "discrete 7 0 02X0001 64 points\n",
                          error);
    ASSERT_TRUE(map) << error;
    ASSERT_EQ(map->channels.size(), 2u);
    EXPECT_EQ(map->channels[1].number, 2);
    EXPECT_EQ(map->channels[1].initFile, "/etc/orvgate/plant02.int");
    EXPECT_EQ(map->channels[1].line, 5);
    ASSERT_EQ(map->ranges.size(), 4u);

    const RangeLine &h = map->ranges[0];
    EXPECT_EQ(h.line, 3);
    EXPECT_EQ(h.channel, 1);
    EXPECT_EQ(h.table, Table::HoldingRegisters);
    EXPECT_EQ(h.unit, 0x11);
    EXPECT_EQ(h.address, 100u);
    EXPECT_EQ(h.gate, "01v0064");
    EXPECT_EQ(h.count, 4);
    EXPECT_EQ(h.kind, ValueKind::Int16);
    EXPECT_TRUE(h.writable);

    const RangeLine &f = map->ranges[1];
    EXPECT_EQ(f.channel, 2);
    EXPECT_EQ(f.kind, ValueKind::Float);
    EXPECT_EQ(f.order, WordOrder::LowFirst);
    EXPECT_FALSE(f.writable);
    EXPECT_EQ(f.Slots(), 4u);

    EXPECT_EQ(map->ranges[2].kind, ValueKind::Bits);
    EXPECT_EQ(map->ranges[3].table, Table::DiscreteInputs);
    EXPECT_EQ(map->ranges[3].count, 64);
}

TEST(MapFile, NamesDeadbandsRangesForMqttAloneAndDeviceIds) {
    std::string error;
    const auto map = Read("channel 1 a.int\n"
                          "device 2 line1-filler\n"
                          "holding 2 0 02V00C8 1 int16 rw deadband 2.5 \"Tank 1 level\"  # a tag\n"
                          "mqtt 02V0190 2 float rw \"Pump speed\"\n"
                          "mqtt 02V01F40 3 bits\n"
                          "coils 2 0 02V01F40 3 bits no-mqtt\n",
                          error);
    ASSERT_TRUE(map) << error;
    ASSERT_EQ(map->devices.size(), 1u);
    EXPECT_EQ(map->devices[0].channel, 1);
    EXPECT_EQ(map->devices[0].secondary, 2);
    EXPECT_EQ(map->devices[0].id, "line1-filler");
    ASSERT_EQ(map->ranges.size(), 4u);
    EXPECT_EQ(map->ranges[0].name, "Tank 1 level");
    EXPECT_DOUBLE_EQ(map->ranges[0].deadband, 2.5);
    EXPECT_TRUE(map->ranges[0].modbus);
    EXPECT_FALSE(map->ranges[1].modbus);
    EXPECT_EQ(map->ranges[1].kind, ValueKind::Float);
    EXPECT_TRUE(map->ranges[1].writable);
    EXPECT_EQ(map->ranges[1].name, "Pump speed");
    EXPECT_EQ(map->ranges[2].table, Table::Coils);
    EXPECT_TRUE(map->ranges[2].name.empty());
    EXPECT_TRUE(map->ranges[0].mqtt);
    EXPECT_FALSE(map->ranges[3].mqtt) << "kept off MQTT";
}

struct BadLine {
    const char *text;
    const char *error;
};

void PrintTo(const BadLine &b, std::ostream *out) {
    *out << b.text;
}

class MapFileErrors : public ::testing::TestWithParam<BadLine> {};

TEST_P(MapFileErrors, NameTheLine) {
    std::string error;
    EXPECT_FALSE(Read(GetParam().text, error));
    EXPECT_EQ(error.rfind(GetParam().error, 0), 0u) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, MapFileErrors,
    ::testing::Values(
        BadLine{"channel 1 a.int\nregisters 1 0 01V0001 1 int16\n", "line 2: unknown statement 'registers'"},
        BadLine{"class fast 200\n", "line 1: period '200' is not a time"},
        BadLine{"class fast 200ms\nclass fast 1s\n", "line 2: class fast already defined on line 1"},
        BadLine{"class default 1s\n", "line 1: class name 'default'"},
        BadLine{"class fast 200ms max-age 100ms\n", "line 1: max-age '100ms' is not a time longer than the period"},
        BadLine{"channel 1 a.int\nholding 1 0 01V0001 1 int16 class fast\nclass fast 1s\n",
                "line 2: no class 'fast' is defined above this line"},
        BadLine{"holding 1 0 01V0001 1 int16\n", "line 1: range before any channel line"},
        BadLine{"channel 1 a.int\nchannel 1 b.int\n", "line 2: channel 1 already started on line 1"},
        BadLine{"channel 0 a.int\n", "line 1: expected: channel NUMBER"},
        BadLine{"channel 1\n", "line 1: expected: channel NUMBER"},
        BadLine{"channel 1 a.int\nholding 256 0 01V0001 1 int16\n", "line 2: unit '256'"},
        BadLine{"channel 1 a.int\nholding 1 65536 01V0001 1 int16\n", "line 2: address '65536'"},
        BadLine{"channel 1 a.int\nholding 1 0 01V0001 0 int16\n", "line 2: count '0'"},
        BadLine{"channel 1 a.int\nholding 1 0 01V0001 257 int16\n", "line 2: count '257'"},
        BadLine{"channel 1 a.int\nholding 1 0 01V0001 1 word\n", "line 2: unknown type 'word'"},
        BadLine{"channel 1 a.int\nholding 1 0 01D0001 1 float\n", "line 2: float takes two registers"},
        BadLine{"channel 1 a.int\nholding 1 0 01D0001 1 float middle-first\n", "line 2: unknown word order"},
        BadLine{"channel 1 a.int\nholding 1 0 01V0001 1 int16 high-first\n", "line 2: a word order is for 32-bit"},
        BadLine{"channel 1 a.int\ninput 1 0 01V0001 1 int16 rw\n", "line 2: rw: Modbus clients cannot write input"},
        BadLine{"channel 1 a.int\nholding 1 0 01X0001 1 points\n", "line 2: points values do not go in holding"},
        BadLine{"channel 1 a.int\ncoils 1 0 01V0001 1 int16\n", "line 2: int16 values do not go in coils"},
        BadLine{"channel 1 a.int\ncoils 1 0 01V0001 1 bits\n", "line 2: bits need the address of their first bit"},
        BadLine{"channel 1 a.int\nholding 1 0 01V00013 1 int16\n", "line 2: only bits take an address with a bit"},
        BadLine{"channel 1 a.int\nholding 1 65535 01D0001 1 int32 high-first\n", "line 2: the range runs past"},
        BadLine{"channel 1 a.int\nholding 1 0 01V0001 1 int16 rw extra\n", "line 2: expected: TABLE UNIT"},
        BadLine{"channel 1 a.int\nholding 1 0 01V0001 1 int16 \"Tank\n", "line 2: a name's closing quote"},
        BadLine{"channel 1 a.int\nholding 1 0 01V0001 1 int16 \"A\" rw\n", "line 2: nothing but a comment may"},
        BadLine{"channel 1 a.int\nholding 1 0 01V0001 1 int16 deadband -1\n", "line 2: deadband '-1'"},
        BadLine{"channel 1 a.int\nchannel 2 b.int \"x\"\n", "line 2: only a range takes a name"},
        BadLine{"channel 1 a.int\nmqtt 01V0001 1\n", "line 2: expected: mqtt GATE"},
        BadLine{"channel 1 a.int\ndevice 32 x\n", "line 2: expected: device SECONDARY"},
        BadLine{"channel 1 a.int\ndevice 1 a\ndevice 1 b\n", "line 3: secondary 1 of channel 1 already"},
        BadLine{"# nothing\n", "the map starts no channel"}));

} // namespace
} // namespace orvgate
