// Which connections the server keeps: at most so many, and optionally at
// most so many from one peer address. When a newcomer finds every slot
// taken, the connection idle longest gives way to it, as a Modbus server
// should (a client that went away without closing must not keep others
// out); one whose request the driver is working on is never idle. A peer
// at its own limit gives way from its own connections. Only when nothing
// can give way is the newcomer refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "common/clock.h"

namespace orvgate {

class ConnectionTable {
  public:
    // `perPeer` 0: no limit per peer address.
    ConnectionTable(int most, int perPeer) : most_(most), perPeer_(perPeer) {}

    struct Admission {
        bool accepted = false;
        std::optional<std::uint64_t> givesWay; // the connection to close for it
        const char *refusal = "";              // why it is refused
    };
    Admission Admit(const std::string &peerAddress) const;

    void Add(std::uint64_t id, const std::string &peerAddress, Clock::time_point now);
    void Remove(std::uint64_t id);
    // A request came, or the answer to one went.
    void Active(std::uint64_t id, Clock::time_point now);
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
        Clock::time_point active{};
        bool busy = false;
    };
    std::optional<std::uint64_t> IdlestOf(const std::string *peer) const;

    int most_;
    int perPeer_;
    std::map<std::uint64_t, Entry> entries_;
};

} // namespace orvgate
