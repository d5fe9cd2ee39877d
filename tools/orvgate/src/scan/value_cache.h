// The values the scan read, as the driver delivered them (raw element bits),
// each with the time it was read or written. A value is served only while
// the read that brought it succeeded and it is no older than the age the
// caller allows; a failed read withdraws every value of its block, saying
// whether the controller refused the block (the block's own fault) or the
// values are unavailable (the card or the controller did not answer).
// Filled by the card threads, read by the front ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <vector>

#include "common/clock.h"

namespace orvgate {

enum class Availability {
    Fresh,      // read, and no older than allowed
    Refused,    // the controller refused its block
    Unavailable // never read, withdrawn, or too old
};

class ValueCache {
  public:
    // One block per entry, with that many values.
    explicit ValueCache(const std::vector<std::int32_t> &blockSizes);

    // A read that succeeded: all the block's values, read at `when`. True
    // when one of them differs from what was held, or was not held at all.
    bool Store(std::size_t block, std::span<const std::uint32_t> values, Clock::time_point when);
    // Values just written: part of a block, current as of `when`; true as Store.
    bool Refresh(std::size_t block, std::int32_t offset, std::span<const std::uint32_t> values, Clock::time_point when);
    // A read that failed: no value of the block is served until read again.
    void Withdraw(std::size_t block, Availability why);

    struct Reading {
        Availability availability = Availability::Unavailable;
        std::uint32_t value = 0;
        Clock::time_point readAt{};
    };

    // A consistent view of several blocks for one request.
    class View {
      public:
        // Fresh while the value is no older than `maxAge` at the view's moment.
        Reading Get(std::size_t block, std::int32_t offset, Clock::duration maxAge) const;

      private:
        friend class ValueCache;
        View(const ValueCache &cache, Clock::time_point now);
        std::shared_lock<std::shared_mutex> lock_;
        const ValueCache &cache_;
        Clock::time_point now_;
    };
    View Look(Clock::time_point now) const;

    std::size_t BlockCount() const {
        return blocks_.size();
    }

  private:
    struct Block {
        std::vector<std::uint32_t> values;
        std::vector<Clock::time_point> stamps; // time_point::min(): withdrawn
        Availability withdrawn = Availability::Unavailable;
    };
    mutable std::shared_mutex mutex_;
    std::vector<Block> blocks_;
};

} // namespace orvgate
