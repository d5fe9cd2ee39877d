#include <gtest/gtest.h>

#include <set>
#include <string>

#include "cp437.h"

namespace orvhost {
namespace {

TEST(Cp437, BoxDrawingAndShadesBecomeTheirUnicodeCharacters) {
    EXPECT_EQ(Cp437ToUtf8("\xDA\xC4\xBF"), "\u250C\u2500\u2510");
    EXPECT_EQ(Cp437ToUtf8("\xB3"), "\u2502");
    EXPECT_EQ(Cp437ToUtf8("\xC0\xC4\xD9"), "\u2514\u2500\u2518");
    EXPECT_EQ(Cp437ToUtf8("\xDB\xB2\xB1\xB0"), "\u2588\u2593\u2592\u2591");
}

TEST(Cp437, LettersAndSymbolsOfTheUpperHalf) {
    EXPECT_EQ(Cp437ToUtf8("\x80"), "\u00C7");
    EXPECT_EQ(Cp437ToUtf8("\x81"), "\u00FC");
    EXPECT_EQ(Cp437ToUtf8("\x9E"), "\u20A7");
    EXPECT_EQ(Cp437ToUtf8("\xE1"), "\u00DF");
    EXPECT_EQ(Cp437ToUtf8("\xF8"), "\u00B0");
    EXPECT_EQ(Cp437ToUtf8("\xFE"), "\u25A0");
    EXPECT_EQ(Cp437ToUtf8("\xFF"), "\u00A0");
}

TEST(Cp437, AsciiPassesAndControlsAreNeutralised) {
    EXPECT_EQ(Cp437ToUtf8("O R V\n\tT\r"), "O R V\n\tT\r");
    EXPECT_EQ(Cp437ToUtf8(std::string("a\x1B[2Jb\x07\x7F", 8)), "a?[2Jb??");
    EXPECT_EQ(Cp437ToUtf8(std::string("a\0b", 3)), "a?b");
}

TEST(Cp437, EveryUpperByteMapsToOneDistinctWellFormedCharacter) {
    std::set<std::string> seen;
    for (int b = 0x80; b <= 0xFF; ++b) {
        const std::string out = Cp437ToUtf8(std::string(1, static_cast<char>(b)));
        ASSERT_GE(out.size(), 2u) << b;
        ASSERT_LE(out.size(), 3u) << b;
        const auto lead = static_cast<unsigned char>(out[0]);
        EXPECT_EQ(lead >> 5 == 0x6 ? 2u : 3u, out.size()) << b;
        for (std::size_t i = 1; i < out.size(); ++i) {
            EXPECT_EQ(static_cast<unsigned char>(out[i]) & 0xC0, 0x80) << b;
        }
        seen.insert(out);
    }
    EXPECT_EQ(seen.size(), 128u);
}

TEST(BoundedLength, StopsAtTheTerminatorOrTheLimit) {
    EXPECT_EQ(BoundedLength("abc", 10), 3u);
    const char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(BoundedLength(unterminated, 4), 4u);
    EXPECT_EQ(BoundedLength(nullptr, 10), 0u);
}

} // namespace
} // namespace orvhost
