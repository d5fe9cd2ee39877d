// The values the scan read, as the driver delivered them (raw element bits),
// each with the time it was read or written. A value is served only while
// the read that brought it succeeded and it is not older than the age the
// caller allows; a failed read withdraws every value of its block. Shared by
// the driver thread, which fills it, and the server thread, which serves
// from it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace orvgate {

using Clock = std::chrono::steady_clock;

class ValueCache {
  public:
    // One block per entry, with that many values.
    explicit ValueCache(const std::vector<std::int32_t> &blockSizes);

    // A read that succeeded: all the block's values, read at `when`.
    void Store(std::size_t block, std::span<const std::uint32_t> values, Clock::time_point when);
    // Values just written: part of a block, current as of `when`.
    void Refresh(std::size_t block, std::int32_t offset, std::span<const std::uint32_t> values, Clock::time_point when);
    // A read that failed: no value of the block is served until read again.
    void Withdraw(std::size_t block);

    // A consistent view of several blocks for one request.
    class View {
      public:
        // The value, if it is known and no older than `maxAge` at `now`.
        bool Get(std::size_t block, std::int32_t offset, std::uint32_t &value) const;

      private:
        friend class ValueCache;
        View(const ValueCache &cache, Clock::time_point now, Clock::duration maxAge);
        std::unique_lock<std::mutex> lock_;
        const ValueCache &cache_;
        Clock::time_point oldest_;
    };
    View Look(Clock::time_point now, Clock::duration maxAge) const;

    std::size_t BlockCount() const {
        return blocks_.size();
    }

  private:
    struct Block {
        std::vector<std::uint32_t> values;
        std::vector<Clock::time_point> stamps; // time_point::min(): not served
    };
    mutable std::mutex mutex_;
    std::vector<Block> blocks_;
};

} // namespace orvgate
