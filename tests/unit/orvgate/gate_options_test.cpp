// orvgate's command line: the listening address, and the options that only
// make sense without a map.
#include <gtest/gtest.h>

#include <vector>

#include "gate_options.h"

namespace orvgate {
namespace {

ParsedCommandLine Parse(std::vector<const char *> args) {
    args.insert(args.begin(), "orvgate");
    return ParseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(Options, SafeDefaults) {
    const ParsedCommandLine p = Parse({});
    ASSERT_TRUE(p.options) << p.message;
    EXPECT_EQ(p.options->listenHost, "127.0.0.1");
    EXPECT_EQ(p.options->listenPort, "1502");
    EXPECT_EQ(p.options->maxClients, 16);
    EXPECT_EQ(p.options->maxClientsPerPeer, 0);
    EXPECT_EQ(p.options->statsUnit, 247) << "not 255, which many clients send by default";
    EXPECT_FALSE(p.options->writable);
    // An absolute ceiling on what is served as good, and writes that never
    // land after libmodbus's, mbpoll's or pymodbus's clients gave up.
    EXPECT_EQ(p.options->maxAge, std::chrono::milliseconds(2000));
    EXPECT_EQ(p.options->writeTimeout, std::chrono::milliseconds(300));
}

TEST(Options, ListenTakesAddressAndPort) {
    std::string host, port;
    EXPECT_TRUE(SplitListen("0.0.0.0:502", host, port));
    EXPECT_EQ(host, "0.0.0.0");
    EXPECT_TRUE(SplitListen("[::1]:15020", host, port));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, "15020");
    for (const char *bad :
         {"1502", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536", "::1:1502", "[::1:1502", "127.0.0.1:15x"}) {
        EXPECT_FALSE(SplitListen(bad, host, port)) << bad;
    }
    EXPECT_EQ(Parse({"--listen", "localhost"}).exitCode, 2);
}

TEST(Options, BeyondTheLoopbackOneAddressGetsHalfTheSlotsUnlessTold) {
    EXPECT_EQ(Parse({"--listen", "0.0.0.0:502"}).options->maxClientsPerPeer, 8);
    EXPECT_EQ(Parse({"--listen", "[::]:502", "--max-clients", "5"}).options->maxClientsPerPeer, 3);
    EXPECT_EQ(Parse({"--listen", "0.0.0.0:502", "--max-clients-per-peer", "0"}).options->maxClientsPerPeer, 0);
    for (const char *loopback : {"127.0.0.2:502", "[::1]:502", "localhost:502"}) {
        EXPECT_EQ(Parse({"--listen", loopback}).options->maxClientsPerPeer, 0) << loopback;
    }
}

TEST(Options, AllowTakesListsAndRepeats) {
    const ParsedCommandLine p = Parse({"--allow", "10.0.0.0/8,fd00::/8", "--allow", "192.168.1.20"});
    ASSERT_TRUE(p.options) << p.message;
    EXPECT_EQ(p.options->allow.Text(), "10.0.0.0/8, fd00::/8, 192.168.1.20");
    EXPECT_EQ(Parse({"--allow", "10.0.0.1,plc-host"}).exitCode, 2);
}

TEST(Options, CardAndWritableBelongToTheTransparentDefault) {
    const ParsedCommandLine p = Parse({"--card", "d000", "--writable", "--max-age", "250"});
    ASSERT_TRUE(p.options) << p.message;
    EXPECT_EQ(p.options->cardSegment, 0xD000);
    EXPECT_EQ(p.options->maxAge, std::chrono::milliseconds(250));
    const ParsedCommandLine mapped = Parse({"--map", "/dev/null", "--writable"});
    EXPECT_FALSE(mapped.options);
    EXPECT_EQ(mapped.exitCode, 2);
    EXPECT_NE(mapped.message.find("transparent default"), std::string::npos) << mapped.message;
}

TEST(Options, WaitsThatCannotHoldTogetherAreRefused) {
    EXPECT_TRUE(Parse({"--retry-interval", "5000", "--retry-most", "5000"}).options);
    EXPECT_EQ(Parse({"--retry-interval", "5000", "--retry-most", "4000"}).exitCode, 2);
    EXPECT_EQ(Parse({"--scan-period", "2000"}).exitCode, 2) << "as long as the default --max-age";
    EXPECT_TRUE(Parse({"--scan-period", "2000", "--max-age", "2001"}).options);
}

} // namespace
} // namespace orvgate
