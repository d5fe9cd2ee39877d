// The pure parts of orvhost's discovery: the bisection for a region's last
// element, and the exchanges a driver call made, counted from its log.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "addressing/messages.h"
#include "cli.h"
#include "exchange_count.h"
#include "link/messages.h"
#include "region_search.h"
#include "tiway/messages.h"

namespace orvhost {
namespace {

using orvtiw::host::LogLine;
using orvtiw::host::Result;

// Every size from none to the last element a gate names, found exactly
// within the bound; the element-1 probe alone settles an absent region.
TEST(RegionSearch, FindsTheLastElementWithinTheBound) {
    for (const std::uint32_t limit : {0xFFFFu, 0xFFFEu}) {
        for (const std::uint32_t size : {0u, 1u, 2u, 3u, 101u, 1000u, 32768u, 65534u, 65535u}) {
            const std::uint32_t expected = size < limit ? size : limit;
            const auto found = FindLastReadable(limit, [&](std::uint32_t e) {
                EXPECT_GE(e, 1u);
                EXPECT_LE(e, limit);
                return std::optional<bool>(e <= size);
            });
            EXPECT_EQ(found.last, expected) << size;
            EXPECT_LE(found.reads, kMaxSearchReads) << size;
            EXPECT_FALSE(found.stopped);
            if (size == 0) {
                EXPECT_EQ(found.reads, 1);
            }
        }
    }
}

TEST(RegionSearch, StopsAtAReadThatFailsOtherwise) {
    int reads = 0;
    const auto found = FindLastReadable(0xFFFF, [&](std::uint32_t e) -> std::optional<bool> {
        ++reads;
        return e < 30000 ? std::optional<bool>(true) : std::nullopt;
    });
    EXPECT_TRUE(found.stopped);
    EXPECT_EQ(reads, 2);
}

Result Logged(std::int32_t status, std::initializer_list<const char *> formats) {
    Result r;
    r.status = status;
    for (const char *f : formats) {
        r.log.push_back(LogLine{32, f, f});
    }
    return r;
}

TEST(ExchangeCount, ReadsFollowTheDriversAttempts) {
    namespace msg = orvtiw::msg;
    EXPECT_EQ(ReadExchanges(Logged(0, {})), 1);
    // Two lost replies, then the values.
    EXPECT_EQ(ReadExchanges(Logged(0, {msg::kReplyTimeout, msg::kNoAcknowledge})), 3);
    // An element past the end: three refusals, each followed by a reconnection.
    EXPECT_EQ(ReadExchanges(Logged(2, {msg::kPrimitiveError, msg::kReconnectSucceeded, msg::kPrimitiveError,
                                       msg::kReconnectSucceeded, msg::kPrimitiveError, msg::kReconnectSucceeded})),
              6);
    // No such secondary: the read and the reconnection, whose own error line is part of it.
    EXPECT_EQ(ReadExchanges(Logged(2, {msg::kMhiuError, msg::kMhiuError, msg::kReconnectFailed})), 2);
    EXPECT_EQ(ReadExchanges(Logged(2, {msg::kPrimitiveError, msg::kReplyTimeout, msg::kReconnectFailed})), 2);
    // Refused before any exchange.
    EXPECT_EQ(ReadExchanges(Logged(1, {msg::kTransferBadElement})), 0);

    EXPECT_EQ(CheckExchanges(Logged(0, {}), true), 1);
    EXPECT_EQ(CheckExchanges(Logged(0, {}), false), 0);
    EXPECT_EQ(CheckExchanges(Logged(1, {}), true), 0);
    EXPECT_EQ(CheckExchanges(Logged(1, {msg::kBlockTooBig}), true), 1) << "connected before the size was refused";
}

TEST(CommandLine, DiscoverTakesSecondariesAndAStarterMap) {
    std::string error;
    auto line = ParseCommandLine({"discover"}, error);
    ASSERT_TRUE(line) << error;
    EXPECT_EQ(line->command.secondaries.size(), 31u);
    EXPECT_FALSE(line->options.levelGiven);
    line = ParseCommandLine({"--starter-map", "p.map", "-l", "0", "discover", "17", "2"}, error);
    ASSERT_TRUE(line) << error;
    EXPECT_EQ(line->command.secondaries, (std::vector<int>{17, 2}));
    EXPECT_EQ(line->options.starterMap, "p.map");
    EXPECT_TRUE(line->options.levelGiven);
    EXPECT_FALSE(ParseCommandLine({"discover", "32"}, error));
    EXPECT_FALSE(ParseCommandLine({"discover", "0"}, error));
}

} // namespace
} // namespace orvhost
