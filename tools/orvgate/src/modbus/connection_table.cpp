#include "modbus/connection_table.h"

namespace orvgate {

std::optional<std::uint64_t> ConnectionTable::IdlestOf(const std::string *peer) const {
    std::optional<std::uint64_t> idlest;
    for (const auto &[id, e] : entries_) {
        if (e.busy || (peer != nullptr && e.peer != *peer)) {
            continue;
        }
        if (!idlest || e.active < entries_.at(*idlest).active) {
            idlest = id;
        }
    }
    return idlest;
}

ConnectionTable::Admission ConnectionTable::Admit(const std::string &peerAddress) const {
    Admission a;
    if (perPeer_ > 0) {
        int fromPeer = 0;
        for (const auto &[id, e] : entries_) {
            fromPeer += e.peer == peerAddress ? 1 : 0;
        }
        if (fromPeer >= perPeer_) {
            a.givesWay = IdlestOf(&peerAddress);
            a.accepted = a.givesWay.has_value();
            a.refusal = "every connection of its address is busy (--max-clients-per-peer)";
            return a;
        }
    }
    if (static_cast<int>(entries_.size()) < most_) {
        a.accepted = true;
        return a;
    }
    a.givesWay = IdlestOf(nullptr);
    a.accepted = a.givesWay.has_value();
    a.refusal = "every connection is busy (--max-clients)";
    return a;
}

void ConnectionTable::Add(std::uint64_t id, const std::string &peerAddress, Clock::time_point now) {
    entries_[id] = Entry{peerAddress, now, false};
}

void ConnectionTable::Remove(std::uint64_t id) {
    entries_.erase(id);
}

void ConnectionTable::Active(std::uint64_t id, Clock::time_point now) {
    const auto at = entries_.find(id);
    if (at != entries_.end()) {
        at->second.active = now;
    }
}

void ConnectionTable::Busy(std::uint64_t id, bool busy) {
    const auto at = entries_.find(id);
    if (at != entries_.end()) {
        at->second.busy = busy;
    }
}

std::optional<Clock::time_point> ConnectionTable::IdleSince(std::uint64_t id) const {
    const auto at = entries_.find(id);
    if (at == entries_.end() || at->second.busy) {
        return std::nullopt;
    }
    return at->second.active;
}

} // namespace orvgate
