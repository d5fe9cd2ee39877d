#include "mqtt/history_store.h"

namespace orvgate::mqtt {

// Keeps fronts_ in step with a device's queue whose front may have changed.
void HistoryStore::Front(std::uint32_t device, bool wasEmpty, std::uint64_t oldFront) {
    if (!wasEmpty) {
        fronts_.erase({oldFront, device});
    }
    if (!devices_[device].empty()) {
        fronts_.emplace(devices_[device].front().order, device);
    }
}

void HistoryStore::DropOldest() {
    const std::uint32_t device = fronts_.begin()->second;
    std::deque<Held> &q = devices_[device];
    const std::uint64_t front = q.front().order;
    q.pop_front();
    --size_;
    ++dropped_;
    Front(device, false, front);
}

void HistoryStore::Push(const HistoryEntry &entry) {
    if (capacity_ == 0) {
        ++dropped_;
        return;
    }
    if (size_ >= capacity_) {
        DropOldest();
    }
    if (entry.device >= devices_.size()) {
        devices_.resize(entry.device + 1u);
    }
    std::deque<Held> &q = devices_[entry.device];
    const bool null = entry.value.state != PointValue::State::Good;
    q.push_back(
        Held{nextOrder_++, entry.value.timestampMs, (entry.metric & ~kNull) | (null ? kNull : 0u), entry.value.raw});
    ++size_;
    if (q.size() == 1) {
        fronts_.emplace(q.back().order, entry.device);
    }
}

std::vector<HistoryEntry> HistoryStore::Take(const std::function<bool(std::uint32_t device)> &take, std::size_t max) {
    std::vector<HistoryEntry> out;
    std::vector<std::uint32_t> chosen;
    for (const auto &[order, device] : fronts_) {
        ++visited_;
        if (take(device)) {
            chosen.push_back(device);
        }
    }
    for (const std::uint32_t device : chosen) {
        if (out.size() >= max) {
            break;
        }
        std::deque<Held> &q = devices_[device];
        const std::uint64_t front = q.front().order;
        while (!q.empty() && out.size() < max) {
            ++visited_;
            const Held &h = q.front();
            HistoryEntry e;
            e.device = device;
            e.metric = h.metric & ~kNull;
            e.value.state = (h.metric & kNull) != 0 ? PointValue::State::Failed : PointValue::State::Good;
            e.value.raw = h.raw;
            e.value.timestampMs = h.timestampMs;
            e.order = h.order;
            out.push_back(e);
            q.pop_front();
            --size_;
        }
        Front(device, false, front);
    }
    return out;
}

void HistoryStore::PutBack(const std::vector<HistoryEntry> &entries) {
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        if (it->device >= devices_.size()) {
            devices_.resize(it->device + 1u);
        }
        std::deque<Held> &q = devices_[it->device];
        const bool wasEmpty = q.empty();
        const std::uint64_t front = wasEmpty ? 0 : q.front().order;
        const bool null = it->value.state != PointValue::State::Good;
        q.push_front(Held{it->order, it->value.timestampMs, it->metric | (null ? kNull : 0u), it->value.raw});
        ++size_;
        Front(it->device, wasEmpty, front);
    }
    while (size_ > capacity_ && size_ > 0) {
        DropOldest();
    }
}

} // namespace orvgate::mqtt
