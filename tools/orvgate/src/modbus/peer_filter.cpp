#include "modbus/peer_filter.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace orvgate {
namespace {

constexpr int kMappedBits = 96; // ::ffff:0:0/96 holds the IPv4 addresses

// The address of numeric text, and the bits of its width; 0 bits when it is none.
int Parse(const std::string &text, std::array<std::uint8_t, 16> &address) {
    in6_addr v6{};
    in_addr v4{};
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        std::memcpy(address.data(), &v6, 16);
        return 128;
    }
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        address = {};
        address[10] = 0xFF;
        address[11] = 0xFF;
        std::memcpy(address.data() + 12, &v4, 4);
        return 32;
    }
    return 0;
}

} // namespace

bool PeerFilter::Add(const std::string &text, std::string &error) {
    const std::size_t slash = text.find('/');
    Network n;
    n.text = text;
    const int width = Parse(text.substr(0, slash), n.address);
    if (width == 0) {
        error = "'" + text + "' is not an IPv4 or IPv6 address or network (e.g. 192.168.1.0/24, fd00::/8)";
        return false;
    }
    n.bits = width;
    if (slash != std::string::npos) {
        const std::string bits = text.substr(slash + 1);
        if (bits.empty() || bits.size() > 3 || bits.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(bits) > width) {
            error = "'" + text + "': the prefix length after '/' is 0.." + std::to_string(width);
            return false;
        }
        n.bits = std::stoi(bits);
    }
    if (width == 32) {
        n.bits += kMappedBits;
    }
    networks_.push_back(n);
    return true;
}

std::string PeerFilter::Text() const {
    std::string text;
    for (const Network &n : networks_) {
        text += (text.empty() ? "" : ", ") + n.text;
    }
    return text;
}

bool PeerFilter::Matches(const Address &address) const {
    for (const Network &n : networks_) {
        const int whole = n.bits / 8;
        const int rest = n.bits % 8;
        const auto mask = static_cast<std::uint8_t>(0xFF00u >> rest);
        if (std::memcmp(address.data(), n.address.data(), static_cast<std::size_t>(whole)) == 0 &&
            (rest == 0 ||
             ((address[static_cast<std::size_t>(whole)] ^ n.address[static_cast<std::size_t>(whole)]) & mask) == 0)) {
            return true;
        }
    }
    return false;
}

bool PeerFilter::Allows(const std::string &address) const {
    if (networks_.empty()) {
        return true;
    }
    Address parsed{};
    return Parse(address.substr(0, address.find('%')), parsed) != 0 && Matches(parsed);
}

} // namespace orvgate
