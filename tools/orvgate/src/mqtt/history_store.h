// The changes the edge node could not publish while the broker was away,
// the primary host offline, or a message was not taken by the connection,
// kept to be sent as historical values after the next births. Bounded:
// when full, the oldest change goes, and is counted. Each device's changes
// wait in a queue of their own, so taking a batch costs the batch (and a
// look at each device that holds some), however many are held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <utility>
#include <vector>

#include "mqtt/edge_source.h"

namespace orvgate::mqtt {

struct HistoryEntry {
    std::uint32_t device = 0;
    std::uint32_t metric = 0;
    PointValue value;        // Good, or anything else for null; its freshness is not kept
    std::uint64_t order = 0; // given by the store: the order of Push
};

class HistoryStore {
  public:
    explicit HistoryStore(std::size_t capacity) : capacity_(capacity) {}

    void Push(const HistoryEntry &entry);
    // Takes out at most `max` entries of the devices for which `take` is
    // true: a device's oldest first, its entries together, the device with
    // the oldest entry first; the others stay, in their order.
    std::vector<HistoryEntry> Take(const std::function<bool(std::uint32_t device)> &take, std::size_t max);
    // Puts entries Take gave back where they were (a message of them was
    // not sent); when that overfills the store, the oldest go, counted.
    void PutBack(const std::vector<HistoryEntry> &entries);

    std::size_t Size() const {
        return size_;
    }
    std::uint64_t Dropped() const {
        return dropped_;
    }
    // Entries and device queues Take has looked at, in all: its work.
    std::uint64_t Visited() const {
        return visited_;
    }

  private:
    // About 24 bytes a change, kept this small for stores of millions.
    struct Held {
        std::uint64_t order;
        std::uint64_t timestampMs;
        std::uint32_t metric; // kNull set: null
        std::uint32_t raw;
    };
    static constexpr std::uint32_t kNull = 0x80000000u;

    void DropOldest();
    void Front(std::uint32_t device, bool wasEmpty, std::uint64_t oldFront);

    std::size_t capacity_;
    std::vector<std::deque<Held>> devices_;
    // (order of its oldest entry, device) for each device holding some.
    std::set<std::pair<std::uint64_t, std::uint32_t>> fronts_;
    std::size_t size_ = 0;
    std::uint64_t nextOrder_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t visited_ = 0;
};

} // namespace orvgate::mqtt
