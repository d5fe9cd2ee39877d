#include <gtest/gtest.h>

#include "addressing/init_file.h"
#include "support/capture_log.h"
#include "support/temp_dir.h"
#include "support/test_channel.h"

namespace orvtiw {
namespace {

using test::CaptureLog;
using test::TempWorkingDir;
using test::TestChannel;

class InitFileTest : public ::testing::Test {
protected:
    InitFileTest() {
        // As ColdStart leaves the channel before it reads the file.
        RegionOf(ch.inst, 'V') = RegionDef{0x01, 16, 1};
        RegionOf(ch.inst, 'X') = RegionDef{0x03, 8, 1};
        RegionOf(ch.inst, 'Y') = RegionDef{0x04, 8, 1};
        RegionOf(ch.inst, 'C') = RegionDef{0x05, 8, 1};
        ch.inst.cardSegment = 0x1111;
        ch.inst.cardWindowSize = 0x2222;
    }
    int read(const std::string &content) {
        dir.write("OrvTiw03.int", content);
        return ReadInitFile(ch.inst);
    }
    void expectRegion(char letter, int tt, int bits, int multiple) {
        const RegionDef r = RegionOf(ch.inst, letter);
        EXPECT_EQ(+r.tt, tt) << letter;
        EXPECT_EQ(+r.elementBits, bits) << letter;
        EXPECT_EQ(+r.multiple, multiple) << letter;
    }
    int definedCount() {
        int n = 0;
        for (const RegionDef &r : ch.inst.regions) {
            n += r.multiple != 0 ? 1 : 0;
        }
        return n;
    }
    TempWorkingDir dir;
    CaptureLog log;
    TestChannel ch{3};
};

TEST_F(InitFileTest, WorkedExampleFileOfChannel3) {
    EXPECT_EQ(read("C800;800\nD;0A;2;2\nK;02;2\ns;07;1;1\nW;0B;4;1 (comment)\n"), 1);
    EXPECT_EQ(+ch.inst.cardSegment, 0xC800);
    EXPECT_EQ(+ch.inst.cardWindowSize, 0x800);
    expectRegion('D', 0x0A, 16, 2);
    expectRegion('K', 0x02, 16, 1);
    expectRegion('S', 0x07, 8, 1);
    expectRegion('W', 0x0B, 32, 1);
    expectRegion('V', 0x01, 16, 1);
    ASSERT_EQ(log.entries().size(), 1u);
    EXPECT_EQ(log.entries()[0].level, 8);
    EXPECT_EQ(log.entries()[0].format, "ORV%02d: TIW: Assuming single multiple for Data Region %c");
    EXPECT_EQ(log.entries()[0].text, "ORV03: TIW: Assuming single multiple for Data Region K");
}

TEST_F(InitFileTest, DuplicateOfAPredefinedRegionStopsWithTheEarlierLinesKept) {
    EXPECT_EQ(read("C800;800\nD;0A;2;2\nK;02;2;1\ns;07;1;1\nW;0B;4;1\nV;01;2;1\nE;01;2;1\n"), 0);
    ASSERT_FALSE(log.entries().empty());
    EXPECT_EQ(log.texts().back(), "ORV03: TIW: Duplicate region id V");
    expectRegion('W', 0x0B, 32, 1);
    expectRegion('E', 0, 0, 0);
    EXPECT_EQ(definedCount(), 8);
}

TEST_F(InitFileTest, CrLfLineEndsReadLikeLineFeeds) {
    EXPECT_EQ(read("C800;800\r\nK;02;2\r\nD;0A;2;2\r\n"), 1);
    expectRegion('K', 0x02, 16, 1);
    expectRegion('D', 0x0A, 16, 2);
}

TEST_F(InitFileTest, MissingOrEmptyFileFailsSilently) {
    EXPECT_EQ(ReadInitFile(ch.inst), 0);
    EXPECT_EQ(read(""), 0);
    EXPECT_TRUE(log.entries().empty());
    EXPECT_EQ(+ch.inst.cardSegment, 0x1111);
}

TEST_F(InitFileTest, CardWindowLine) {
    struct Case {
        const char *line;
        int result;
        int segment;
        int size;
    } cases[] = {
        {"C800", 1, 0xC800, 0x800},
        {"C800\n", 1, 0xC800, 0x800},
        {"  0xD000;1000\n", 1, 0xD000, 0x1000},
        {"D000;\n", 1, 0xD000, 0},
        {"Segment=C800\n", 1, 0x000E, 0x800},
        {"   \n", 0, 0x1111, 0x2222},
        {"GHIJ xyz\n", 0, 0x1111, 0x2222},
        {"= C800 ; 0x400\n", 1, 0xC800, 0x400},       // the segment text stops at the blank
        {"window: C800\n", 1, 0x000D, 0x800},        // the d of the word is the first hex digit
        {"C800;-1\n", 1, 0xC800, 0xFFFF},
        {"FFFFFFFFF;800\n", 1, 0xFFFF, 0x800},        // saturates at the largest 32-bit value
        {"C800;-FFFFFFFFF\n", 1, 0xC800, 0x0000},     // saturates at the smallest
    };
    for (const Case &c : cases) {
        ch.inst.cardSegment = 0x1111;
        ch.inst.cardWindowSize = 0x2222;
        EXPECT_EQ(read(c.line), c.result) << c.line;
        EXPECT_EQ(+ch.inst.cardSegment, c.segment) << c.line;
        EXPECT_EQ(+ch.inst.cardWindowSize, c.size) << c.line;
    }
}

TEST_F(InitFileTest, RegionLinesAcceptedOrRefusedWithTheirMessage) {
    struct Case {
        const char *line;
        const char *message; // nullptr: accepted without a message
    } cases[] = {
        {"\n", "ORV03: TIW: Invalid Application Id (\n) in region defination"},
        {" K;02;2;1\n", "ORV03: TIW: Invalid Application Id ( ) in region defination"},
        {"K;2;2;1\n", "ORV03: TIW: Invalid TT (PLC Region ID (2;) in region defination"},
        {"K;0G;2;1\n", "ORV03: TIW: Invalid TT (PLC Region ID (0G) in region defination"},
        {"K;02;x;1\n", "ORV03: TIW: Invalid Real Element Size (x) in region defination"},
        {"K;02;3;1\n", "ORV03: TIW: Invalid Real element size 3 in region defination"},
        {"K;02;2;0\n", "ORV03: TIW: Invalid Multiple 0 in region defination"},
        {"K;02;4;2\n", "ORV03: TIW: Multiple elements only allowed in two byte (word) regions"},
        {"K:02;2;1\n", "ORV03: TIW: Invalid field seperator in region defination"},
        {"K;02;2x1\n", "ORV03: TIW: Invalid field seperator in region defination"},
        {"v;01;2;1\n", "ORV03: TIW: Duplicate region id V"},
        {"K;02;2;1 any text\n", nullptr},
        {"K;02;2;12\n", nullptr},
        {"K;02;2x\n", "ORV03: TIW: Assuming single multiple for Data Region K"},
        {"k;02;2", "ORV03: TIW: Assuming single multiple for Data Region K"}, // last line without a line feed
    };
    for (const Case &c : cases) {
        RegionOf(ch.inst, 'K') = RegionDef{};
        log.clear();
        const int result = read(std::string("C800;800\n") + c.line);
        const bool warningOnly = c.message != nullptr && std::string(c.message).find("Assuming") != std::string::npos;
        EXPECT_EQ(result, c.message == nullptr || warningOnly ? 1 : 0) << c.line;
        if (c.message == nullptr) {
            EXPECT_TRUE(log.entries().empty()) << c.line;
        } else {
            EXPECT_EQ(log.texts(), std::vector<std::string>{c.message}) << c.line;
            ASSERT_FALSE(log.entries().empty());
            EXPECT_EQ(log.entries()[0].level, 8);
        }
        if (result == 1) {
            expectRegion('K', 0x02, 16, 1);
        }
    }
}

TEST_F(InitFileTest, LowerCaseLetterAndTtAreFolded) {
    EXPECT_EQ(read("C800;800\nd;0a;2;2\n"), 1);
    expectRegion('D', 0x0A, 16, 2);
}

TEST_F(InitFileTest, EmptyLineAfterTheLastRegionFails) {
    EXPECT_EQ(read("C800;800\n\n"), 0);
    EXPECT_EQ(log.texts(), std::vector<std::string>{"ORV03: TIW: Invalid Application Id (\n) in region defination"});
}

TEST_F(InitFileTest, LongLinesAreReadInPiecesOf511) {
    // Line 1 continues past 511 characters: the rest is read as a region line.
    std::string line1 = "C800;800" + std::string(503, ' ') + "K;02;2;1\n";
    EXPECT_EQ(read(line1), 1);
    expectRegion('K', 0x02, 16, 1);
}

TEST_F(InitFileTest, ThreeDigitChannelReadsThreeDigitName) {
    TestChannel wide(123);
    dir.write("OrvTiw123.int", "D000;400\n");
    EXPECT_EQ(ReadInitFile(wide.inst), 1);
    EXPECT_EQ(+wide.inst.cardSegment, 0xD000);
}

} // namespace
} // namespace orvtiw
