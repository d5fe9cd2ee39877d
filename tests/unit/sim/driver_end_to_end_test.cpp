// The whole driver through its entry, against the simulated adapter and
// controllers on the virtual clock: start-up, gate addresses, reads and
// writes of every region shape, and recovery.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "adapter.h"
#include "card.h"
#include "host/operation_table.h"
#include "network.h"
#include "support/capture_log.h"
#include "support/temp_dir.h"
#include "support/test_channel.h"
#include "support/virtual_platform.h"

namespace tiwaysim::test {
namespace {

using orvtiw::test::CaptureLog;
using orvtiw::test::TempWorkingDir;
using orvtiw::test::TestChannel;
using orvtiw::test::VirtualPlatform;
using Bytes = std::vector<std::uint8_t>;

class DriverEndToEnd : public ::testing::Test {
protected:
    DriverEndToEnd() : network(Network::Default()), adapter(network), card(adapter) {
        vp.onMillisecond = [this](std::uint32_t now) { card.Step(vp.cardWindow(), now); };
        card.onExchange = [this](const Exchange &e) { requests.push_back(e.request); };
        // D: words in double pairs on WY (0x0A); W: 32-bit elements (0x0B).
        dir.write("OrvTiw03.int", "C800;800\nD;0A;2;2\nW;0B;4;1\nK;02;2;1\n");
    }
    int coldStart() {
        StartRecord start{0, 0, 0, 1, 100};
        return ch.run(ORV_OP_COLD_START, &start);
    }
    // Parses an address (operation 3, or 4 for a block) into a transfer record.
    TransferRecord gate(const char *text, int gateType, int count = 1) {
        AddressRecord a{text, 0, gateType, count, 0, 0, 0, 0, 0};
        EXPECT_EQ(ch.run(count > 1 ? ORV_OP_PARSE_BLOCK_ADDRESS : ORV_OP_PARSE_SINGLE_ADDRESS, &a), 0) << text;
        TransferRecord t{};
        t.plcAddress = a.plcAddress;
        t.regionId = a.regionId;
        t.elementNumber = a.elementNumber;
        t.bitNumber = a.bitNumber;
        t.width = a.width;
        t.count = count;
        t.data = area;
        return t;
    }
    std::uint32_t element(int secondary, std::uint8_t code, std::uint32_t n) {
        return network.At(secondary)->Find(code)->Get(n);
    }
    template <typename T> T valueAt(int offset) {
        T v;
        std::memcpy(&v, area + offset, sizeof v);
        return v;
    }
    template <typename T> void setValueAt(int offset, T v) { std::memcpy(area + offset, &v, sizeof v); }

    TempWorkingDir dir;
    CaptureLog log;
    VirtualPlatform vp;
    Network network;
    Adapter adapter;
    Card card;
    TestChannel ch{3};
    std::vector<Bytes> requests;
    std::uint8_t area[600] = {};
};

TEST_F(DriverEndToEnd, RoadOfOneRead) {
    ASSERT_EQ(coldStart(), 0);
    EXPECT_EQ(log.texts().back(), "ORV03: TIW: ColdStart(): TIWAY Host Adapter Driver loaded successfully");
    EXPECT_TRUE(adapter.configured());
    network.At(1)->Find(0x01)->Set(100, 0xBEEF);

    TransferRecord t = gate("01V0064", ORV_GATE_UINT16);
    requests.clear();
    EXPECT_EQ(ch.run(ORV_OP_READ_GATE, &t), 0);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], (Bytes{0x01, 0x01, 0x00, 0x06, 0x20, 0x01, 0x00, 0x01, 0x00, 0x64}));
    EXPECT_EQ(valueAt<std::uint16_t>(2), 0xBEEF);
}

TEST_F(DriverEndToEnd, SecondColdStartFindsTheAdapterConfigured) {
    ASSERT_EQ(coldStart(), 0);
    const std::uint64_t slept = vp.sleptMs;
    EXPECT_GE(slept, 11000u) << "reset pause and both configuration pauses";
    ch.run(ORV_OP_STOP, nullptr);
    requests.clear();
    ASSERT_EQ(coldStart(), 0);
    EXPECT_EQ(requests.size(), 1u) << "the configuration survived the reset";
    EXPECT_LT(vp.sleptMs - slept, 1100u);
}

TEST_F(DriverEndToEnd, EveryRegionShapeWrittenAndReadBack) {
    ASSERT_EQ(coldStart(), 0);
    struct Case {
        const char *text;
        int gateType;
        std::uint32_t value;
    } cases[] = {
        {"02V0001", ORV_GATE_INT16, 0x8001},     {"02K0010", ORV_GATE_UINT16, 0x1234},
        {"02X0005", ORV_GATE_DIGITAL, 1},         {"02Y0005", ORV_GATE_DIGITAL, 1},
        {"02C0007", ORV_GATE_DIGITAL, 1},         {"02D0007", ORV_GATE_INT32, 0xCAFEF00D},
        {"02D0010", ORV_GATE_FLOAT, 0x3F800000}, {"02W0003", ORV_GATE_UINT32, 0xFFFFFFFE},
        {"02V00020", ORV_GATE_DIGITAL, 1},        {"02V0002F", ORV_GATE_DIGITAL, 1},
    };
    for (const Case &c : cases) {
        TransferRecord w = gate(c.text, c.gateType);
        std::memset(area, 0, sizeof area);
        if (w.width == 32) {
            setValueAt<std::uint32_t>(0, c.value);
        } else {
            setValueAt<std::uint16_t>(2, static_cast<std::uint16_t>(c.value));
        }
        EXPECT_EQ(ch.run(ORV_OP_WRITE_GATE, &w), 0) << c.text;
        TransferRecord r = gate(c.text, c.gateType);
        std::memset(area, 0, sizeof area);
        EXPECT_EQ(ch.run(ORV_OP_READ_GATE, &r), 0) << c.text;
        const std::uint32_t back = r.width == 32 ? valueAt<std::uint32_t>(0) : valueAt<std::uint16_t>(2);
        EXPECT_EQ(back, c.value) << c.text;
    }
    // Where the values landed in the controller.
    EXPECT_EQ(element(2, 0x0A, 7), 0xCAFEu);
    EXPECT_EQ(element(2, 0x0A, 8), 0xF00Du);
    EXPECT_EQ(element(2, 0x01, 2), 0x8001u) << "bits 0 and 15 set on a word that had neither";
    EXPECT_EQ(element(2, 0x03, 5), 1u);
}

TEST_F(DriverEndToEnd, BlocksOfTheLargestSize) {
    ASSERT_EQ(coldStart(), 0);
    TransferRecord w = gate("03V0001", ORV_GATE_INT16, 128);
    for (int i = 0; i < 128; ++i) {
        setValueAt<std::uint16_t>(2 * i, static_cast<std::uint16_t>(i * 3 + 1));
    }
    EXPECT_EQ(ch.run(ORV_OP_WRITE_BLOCK, &w), 0);
    TransferRecord r = gate("03V0001", ORV_GATE_INT16, 128);
    std::memset(area, 0, sizeof area);
    EXPECT_EQ(ch.run(ORV_OP_READ_BLOCK, &r), 0);
    for (int i = 0; i < 128; ++i) {
        ASSERT_EQ(valueAt<std::uint16_t>(2 * i), i * 3 + 1) << i;
    }

    // Discrete blocks: 16-bit slots out, packed bytes back.
    TransferRecord wx = gate("03X0001", ORV_GATE_INT16, 256);
    for (int i = 0; i < 256; ++i) {
        setValueAt<std::uint16_t>(2 * i, static_cast<std::uint16_t>(i % 2));
    }
    EXPECT_EQ(ch.run(ORV_OP_WRITE_BLOCK, &wx), 0);
    TransferRecord rx = gate("03X0001", ORV_GATE_INT16, 256);
    std::memset(area, 0xEE, sizeof area);
    EXPECT_EQ(ch.run(ORV_OP_READ_BLOCK, &rx), 0);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(area[i], i % 2) << i;
    }
    EXPECT_EQ(area[256], 0xEE);
}

TEST_F(DriverEndToEnd, ErrorRepliesFromTheNetwork) {
    ASSERT_EQ(coldStart(), 0);
    TransferRecord t = gate("01V0064", ORV_GATE_INT16);
    // An element past the end of the region: a primitive error, then a reconnection and two more tries.
    t.elementNumber = 5000;
    log.clear();
    EXPECT_EQ(ch.run(ORV_OP_READ_BLOCK, &t), 2);
    EXPECT_EQ(log.texts().front(), "ORV03: TIW: CheckReply() - primitive error: 0x0002");
    // A data type the controller does not have.
    TransferRecord q = gate("01V0001", ORV_GATE_INT16);
    q.regionId = 'K';
    RegionOf(ch.inst, 'K').tt = 0x77;
    log.clear();
    EXPECT_EQ(ch.run(ORV_OP_READ_BLOCK, &q), 2);
    EXPECT_EQ(log.texts().front(), "ORV03: TIW: CheckReply() - primitive error: 0x0001");
}

TEST_F(DriverEndToEnd, WarmStartReconnectsASecondaryTheAdapterDropped) {
    ASSERT_EQ(coldStart(), 0);
    TransferRecord t = gate("04V0001", ORV_GATE_INT16);
    ASSERT_TRUE(adapter.connected(4));
    // The link goes down and comes back: the adapter's reset drops its connections.
    WarmStartRecord warm{4};
    log.clear();
    EXPECT_EQ(ch.run(ORV_OP_WARM_START, &warm), 0);
    EXPECT_TRUE(adapter.connected(4));
    const std::vector<std::string> texts = log.texts();
    EXPECT_EQ(texts.back(), "ORV03: TIW: ReconnectSecondarys(): Succeed to connect secondary devices: 04");
    EXPECT_EQ(ch.run(ORV_OP_READ_GATE, &t), 0);
}

TEST_F(DriverEndToEnd, LostRepliesGiveStatus2AndTheTimeOutLine) {
    ASSERT_EQ(coldStart(), 0);
    TransferRecord t = gate("01V0064", ORV_GATE_INT16);
    card.faults.ackNoReply = true;
    log.clear();
    const std::uint32_t before = vp.now;
    EXPECT_EQ(ch.run(ORV_OP_READ_GATE, &t), 2);
    EXPECT_EQ(log.texts().front(), "ORV03: TIW: Timeout Waiting for response from Host Adapter");
    EXPECT_LE(vp.now - before, 3u * (250u + 2u * 1000u + 2u));
}

} // namespace
} // namespace tiwaysim::test
