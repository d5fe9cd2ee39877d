// The changes the edge node could not publish while the broker was away or
// the primary host offline, kept to be sent as historical values after the
// next births. Bounded: when full, the oldest change goes, and is counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "mqtt/edge_source.h"

namespace orvgate::mqtt {

struct HistoryEntry {
    std::uint32_t device = 0;
    std::uint32_t metric = 0;
    PointValue value; // Good, or anything else for null
};

class HistoryStore {
  public:
    explicit HistoryStore(std::size_t capacity) : capacity_(capacity) {}

    void Push(const HistoryEntry &entry);
    // Takes out, oldest first, at most `max` entries of the devices for
    // which `take` is true; the others stay, in their order.
    std::vector<HistoryEntry> Take(const std::function<bool(std::uint32_t device)> &take, std::size_t max);

    std::size_t Size() const {
        return entries_.size();
    }
    std::uint64_t Dropped() const {
        return dropped_;
    }

  private:
    std::size_t capacity_;
    std::deque<HistoryEntry> entries_;
    std::uint64_t dropped_ = 0;
};

} // namespace orvgate::mqtt
