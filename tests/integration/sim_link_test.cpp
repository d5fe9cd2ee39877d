// The driver's link code against a running tiwaysim, in real time: open the
// memory device, map the card window, reset the adapter, exchange requests
// through the mailbox, switch a fault on through the control socket, close.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "channel/instance.h"
#include "host/link_operations.h"
#include "link/card_window.h"
#include "link/mailbox.h"
#include "orvtiw/host_abi.h"

namespace {

std::string gControl;
std::string gTiwaysim;

// Tells the running simulator one control command with its own client mode.
bool SendControl(const std::string &command) {
    const pid_t pid = fork();
    if (pid == 0) {
        execl(gTiwaysim.c_str(), gTiwaysim.c_str(), "--send", gControl.c_str(), command.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class SimLink : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(storage_.data(), 0, storage_.size());
        inst().channel = 1;
        inst().cardSegment = 0xC800;
        inst().cardWindowSize = 0x800;
        inst().device = orvtiw::kInvalidDevice;
        inst().window = nullptr;
        inst().replyTimeout = 1000;
        call_ = CallRecord{storage_.data(), 0, 1, 0, nullptr};
    }
    void TearDown() override {
        SendControl("clear");
        orvtiw::CloseCom(&call_);
    }

    orvtiw::Instance &inst() { return *reinterpret_cast<orvtiw::Instance *>(storage_.data()); }

    int Exchange(const std::vector<std::uint8_t> &request) {
        std::memcpy(inst().request, request.data(), request.size());
        inst().requestLength = static_cast<std::int32_t>(request.size());
        return orvtiw::Transact(inst());
    }

    alignas(16) std::array<std::uint8_t, static_cast<std::size_t>(orvtiw::kInstanceSize)> storage_{};
    CallRecord call_{};
};

TEST_F(SimLink, OpenConnectClose) {
    ASSERT_EQ(orvtiw::OpenCom(&call_), 0);
    ASSERT_NE(+inst().window, nullptr);
    ASSERT_NE(+inst().device, orvtiw::kInvalidDevice);

    ASSERT_EQ(Exchange({0x04, 0x01}), 0);
    EXPECT_EQ(+inst().replyLength, 4);
    EXPECT_EQ(inst().reply[0], 0x00);
    EXPECT_EQ(inst().reply[1], 0x02);
    EXPECT_EQ(inst().reply[2], 0x02) << "an ok reply kind";
    EXPECT_EQ(inst().reply[3], 0x01) << "the connected secondary";

    EXPECT_EQ(orvtiw::CloseCom(&call_), 0);
    EXPECT_EQ(+inst().window, nullptr);
    EXPECT_EQ(+inst().device, orvtiw::kInvalidDevice);
}

TEST_F(SimLink, WriteThenReadBackAndMeasure) {
    ASSERT_EQ(orvtiw::OpenCom(&call_), 0);
    ASSERT_EQ(Exchange({0x04, 0x02}), 0);
    // V element 77 of secondary 2 := 0x1234, 0xABCD.
    ASSERT_EQ(Exchange({0x01, 0x02, 0x00, 0x08, 0x30, 0x01, 0x00, 0x4D, 0x12, 0x34, 0xAB, 0xCD}), 0);
    EXPECT_EQ(inst().reply[2], 0x01);
    EXPECT_NE(inst().reply[5], 0x00);
    constexpr int kRounds = 50;
    double worstMs = 0, totalMs = 0;
    for (int i = 0; i < kRounds; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(Exchange({0x01, 0x02, 0x00, 0x06, 0x20, 0x01, 0x00, 0x02, 0x00, 0x4D}), 0);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        worstMs = std::max(worstMs, ms);
        totalMs += ms;
        ASSERT_EQ(+inst().replyLength, 12);
        EXPECT_EQ(inst().reply[8], 0x12);
        EXPECT_EQ(inst().reply[9], 0x34);
        EXPECT_EQ(inst().reply[10], 0xAB);
        EXPECT_EQ(inst().reply[11], 0xCD);
    }
    std::printf("read exchange through the driver's 1 ms polling: mean %.2f ms, worst %.2f ms over %d\n",
                totalMs / kRounds, worstMs, kRounds);
}

TEST_F(SimLink, FaultSwitchedOnWhileRunning) {
    ASSERT_EQ(orvtiw::OpenCom(&call_), 0);
    ASSERT_TRUE(SendControl("fail-next 1"));
    EXPECT_EQ(Exchange({0x04, 0x01}), -1) << "the lost request times out";
    EXPECT_EQ(Exchange({0x04, 0x01}), 0) << "the next one goes through";
    ASSERT_TRUE(SendControl("mhiu-error 0x0102"));
    ASSERT_EQ(Exchange({0x04, 0x01}), 0);
    EXPECT_EQ(inst().reply[2], 0x00);
    EXPECT_EQ(inst().reply[3], 0x01);
    EXPECT_EQ(inst().reply[4], 0x02);
    EXPECT_FALSE(SendControl("no-such-switch"));
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--control") == 0) {
            gControl = argv[++i];
        } else if (std::strcmp(argv[i], "--tiwaysim") == 0) {
            gTiwaysim = argv[++i];
        }
    }
    if (gControl.empty() || gTiwaysim.empty()) {
        std::fprintf(stderr, "usage: orvtiw_sim_link_test --control SOCKET --tiwaysim PROGRAM\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
