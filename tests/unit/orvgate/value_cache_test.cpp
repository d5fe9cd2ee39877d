// The cache says when a read brought something new, which is what the edge
// node publishes on as soon as a block is read.
#include <gtest/gtest.h>

#include <vector>

#include "scan/value_cache.h"

namespace orvgate {
namespace {

TEST(ValueCache, AReadIsNewWhenAValueDiffersOrNoneWasHeld) {
    ValueCache cache({2, 1});
    const Clock::time_point t0 = Clock::now();
    const std::vector<std::uint32_t> a{1, 2};
    EXPECT_TRUE(cache.Store(0, a, t0)) << "the first read";
    EXPECT_FALSE(cache.Store(0, a, t0 + std::chrono::milliseconds(20))) << "the same values again";
    EXPECT_TRUE(cache.Store(0, std::vector<std::uint32_t>{1, 3}, t0 + std::chrono::milliseconds(40)));
    cache.Withdraw(0, Availability::Unavailable);
    EXPECT_TRUE(cache.Store(0, std::vector<std::uint32_t>{1, 3}, t0 + std::chrono::milliseconds(60)))
        << "the values were withdrawn meanwhile";
    EXPECT_FALSE(cache.Store(5, a, t0)) << "no such block";
}

} // namespace
} // namespace orvgate
