// --allow's addresses and networks, and the peers they let in.
#include <gtest/gtest.h>

#include "modbus/peer_filter.h"

namespace orvgate {
namespace {

TEST(PeerFilter, AdmitsOnlyItsAddressesAndNetworks) {
    PeerFilter filter;
    EXPECT_TRUE(filter.Allows("203.0.113.9")) << "without --allow, any address";
    std::string error;
    for (const char *network : {"192.168.10.0/23", "10.1.2.3", "fd00:ab::/33", "::1"}) {
        ASSERT_TRUE(filter.Add(network, error)) << network << ": " << error;
    }
    for (const char *in : {"192.168.10.1", "192.168.11.254", "10.1.2.3", "::ffff:192.168.11.7", "fd00:ab:7fff::1",
                           "::1", "::ffff:10.1.2.3"}) {
        EXPECT_TRUE(filter.Allows(in)) << in;
    }
    for (const char *out : {"192.168.12.1", "192.168.9.255", "10.1.2.4", "fd00:ab:8000::1", "::2", "127.0.0.1",
                            "::ffff:10.1.2.4", "fe80::1%eth0", "?"}) {
        EXPECT_FALSE(filter.Allows(out)) << out;
    }
    EXPECT_EQ(filter.Text(), "192.168.10.0/23, 10.1.2.3, fd00:ab::/33, ::1");

    PeerFilter all;
    ASSERT_TRUE(all.Add("0.0.0.0/0", error));
    EXPECT_TRUE(all.Allows("::ffff:1.2.3.4"));
    EXPECT_FALSE(all.Allows("2001:db8::1")) << "every IPv4 address, and no IPv6 one";
    for (const char *bad : {"", "localhost", "10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0/8", "10.0.0.0/8/8",
                            "10.0.0.0/-1", "fe80::1%eth0"}) {
        EXPECT_FALSE(all.Add(bad, error)) << bad;
    }
}

} // namespace
} // namespace orvgate
