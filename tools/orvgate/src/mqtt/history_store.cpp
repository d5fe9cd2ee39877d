#include "mqtt/history_store.h"

namespace orvgate::mqtt {

void HistoryStore::Push(const HistoryEntry &entry) {
    if (capacity_ == 0) {
        ++dropped_;
        return;
    }
    if (entries_.size() >= capacity_) {
        entries_.pop_front();
        ++dropped_;
    }
    entries_.push_back(entry);
}

std::vector<HistoryEntry> HistoryStore::Take(const std::function<bool(std::uint32_t device)> &take, std::size_t max) {
    std::vector<HistoryEntry> out;
    std::deque<HistoryEntry> kept;
    for (HistoryEntry &e : entries_) {
        if (out.size() < max && take(e.device)) {
            out.push_back(e);
        } else {
            kept.push_back(e);
        }
    }
    entries_.swap(kept);
    return out;
}

} // namespace orvgate::mqtt
