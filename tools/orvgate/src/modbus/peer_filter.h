// The addresses and networks that may connect (--allow): IPv4 and IPv6
// addresses, each with an optional prefix length. Without any, every peer
// may. An IPv4 peer that reaches an IPv6 socket (::ffff:a.b.c.d) is judged
// as the IPv4 address it is.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace orvgate {

class PeerFilter {
  public:
    // "192.168.1.20", "10.0.0.0/8", "fd00::/8", "::1"; false, with `error`,
    // for anything else (a name, a prefix past the address's width).
    bool Add(const std::string &text, std::string &error);

    bool Empty() const {
        return networks_.empty();
    }
    // What was added, comma-separated, for the log.
    std::string Text() const;

    // A peer's numeric address, as getnameinfo gives it ("fe80::1%eth0"
    // included); an address that is none is not allowed.
    bool Allows(const std::string &address) const;

  private:
    // Every address as IPv6, IPv4 ones mapped (::ffff:a.b.c.d, 96 bits more).
    using Address = std::array<std::uint8_t, 16>;
    struct Network {
        Address address{};
        int bits = 0;
        std::string text;
    };
    bool Matches(const Address &address) const;

    std::vector<Network> networks_;
};

} // namespace orvgate
