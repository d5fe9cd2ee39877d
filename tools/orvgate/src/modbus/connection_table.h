// Which connections the server keeps: at most so many, and optionally at
// most so many from one peer address. When a newcomer finds no slot, a
// connection may give way to it, in this order: one that never sent a
// request, once it had a short grace to send its first (the longest
// connected first), then the idlest whose last request is older than the
// protection window. A connection that asked within the window, or whose
// request the driver works on, never gives way, so that a port scan or a
// client that leaks connections cannot close a SCADA's connection between
// two of its polls; a client that went away without closing still frees its
// slot once the window has passed. When nothing may give way, the newcomer
// is refused. A peer at its own limit gives way only from its own
// connections, by the same rules.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "common/clock.h"

namespace orvgate {

class ConnectionTable {
  public:
    // How long a new connection may stay silent before it may give way:
    // long enough for a client to send its first request after connecting.
    static constexpr Clock::duration kFirstRequestGrace = std::chrono::seconds(2);

    // `perPeer` 0: no limit per peer address. `protect`: how long a request
    // keeps its connection from giving way.
    ConnectionTable(int most, int perPeer, Clock::duration protect)
        : most_(most), perPeer_(perPeer), protect_(protect) {}

    struct Admission {
        bool accepted = false;
        std::optional<std::uint64_t> givesWay; // the connection to close for it
        bool givesWaySilent = false;           // that one never sent a request
        const char *refusal = "";              // why it is refused
    };
    Admission Admit(const std::string &peerAddress, Clock::time_point now) const;

    void Add(std::uint64_t id, const std::string &peerAddress, Clock::time_point now);
    void Remove(std::uint64_t id);
    // A request came: it protects the connection for the window.
    void Asked(std::uint64_t id, Clock::time_point now);
    // An answer went: idle from now.
    void Answered(std::uint64_t id, Clock::time_point now);
    // The driver works on its request: not idle meanwhile.
    void Busy(std::uint64_t id, bool busy);

    std::size_t Size() const {
        return entries_.size();
    }
    // Since when it has been idle, for a connection that is.
    std::optional<Clock::time_point> IdleSince(std::uint64_t id) const;

  private:
    struct Entry {
        std::string peer;
        Clock::time_point connected{};
        Clock::time_point active{}; // its last request or answer, or its connection
        bool asked = false;
        bool busy = false;
    };
    // The connection that gives way to a newcomer at `now`, among those of
    // `peer` when given.
    std::optional<std::uint64_t> GivesWay(const std::string *peer, Clock::time_point now) const;

    int most_;
    int perPeer_;
    Clock::duration protect_;
    std::map<std::uint64_t, Entry> entries_;
};

} // namespace orvgate
