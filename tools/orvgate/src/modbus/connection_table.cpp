#include "modbus/connection_table.h"

namespace orvgate {

std::optional<std::uint64_t> ConnectionTable::GivesWay(const std::string *peer, Clock::time_point now) const {
    std::optional<std::uint64_t> silent;
    std::optional<std::uint64_t> idlest;
    for (const auto &[id, e] : entries_) {
        if (e.busy || (peer != nullptr && e.peer != *peer)) {
            continue;
        }
        if (!e.asked) {
            if (now - e.connected >= kFirstRequestGrace && (!silent || e.connected < entries_.at(*silent).connected)) {
                silent = id;
            }
        } else if (now - e.active >= protect_ && (!idlest || e.active < entries_.at(*idlest).active)) {
            idlest = id;
        }
    }
    return silent ? silent : idlest;
}

ConnectionTable::Admission ConnectionTable::Admit(const std::string &peerAddress, Clock::time_point now) const {
    Admission a;
    const std::string *among = nullptr;
    if (perPeer_ > 0) {
        int fromPeer = 0;
        for (const auto &[id, e] : entries_) {
            fromPeer += e.peer == peerAddress ? 1 : 0;
        }
        if (fromPeer >= perPeer_) {
            among = &peerAddress;
            a.refusal = "every connection of its address is in use (--max-clients-per-peer)";
        }
    }
    if (among == nullptr) {
        if (static_cast<int>(entries_.size()) < most_) {
            a.accepted = true;
            return a;
        }
        a.refusal = "every connection is in use (--max-clients)";
    }
    a.givesWay = GivesWay(among, now);
    a.accepted = a.givesWay.has_value();
    a.givesWaySilent = a.accepted && !entries_.at(*a.givesWay).asked;
    return a;
}

void ConnectionTable::Add(std::uint64_t id, const std::string &peerAddress, Clock::time_point now) {
    entries_[id] = Entry{peerAddress, now, now, false, false};
}

void ConnectionTable::Remove(std::uint64_t id) {
    entries_.erase(id);
}

void ConnectionTable::Asked(std::uint64_t id, Clock::time_point now) {
    const auto at = entries_.find(id);
    if (at != entries_.end()) {
        at->second.active = now;
        at->second.asked = true;
    }
}

void ConnectionTable::Answered(std::uint64_t id, Clock::time_point now) {
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
