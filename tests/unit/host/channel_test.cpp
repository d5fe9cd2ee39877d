// What the host library adds to the module's entry, shown on a stand-in
// entry: one lock per loaded module, log lines carried by results, the
// private directory of a cold start's initialisation file, the guard after
// the Instance, and values checked against their element.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "orvtiw/host.h"

namespace orvtiw::host {
namespace {

constexpr std::int32_t kFakeInstanceSize = 40;

std::atomic<int> gInside{0};
std::atomic<int> gMostInside{0};
std::string gSeenInitText;
std::filesystem::path gSeenDirectory;
bool gOverrun = false;
std::vector<std::int32_t> gOps;

// Answers like the driver where the library needs it: operation 14, a cold
// start that reads OrvTiwNN.int from the current directory, an address
// check that decodes a word gate, and a read that lingers, so that two
// overlapping calls would be seen.
std::int32_t FakeEntry(CallRecord *call) {
    const int inside = ++gInside;
    gMostInside = std::max(gMostInside.load(), inside);
    gOps.push_back(call->op);
    std::int32_t status = ORV_STATUS_OK;
    switch (call->op) {
    case ORV_OP_CLOSE_COM:
        break;
    case ORV_OP_GET_DRIVER_INFO: {
        auto *info = static_cast<InfoRecord *>(call->params);
        info->instanceSize = kFakeInstanceSize;
        info->driverName = "stand-in";
        break;
    }
    case ORV_OP_COLD_START: {
        gSeenDirectory = std::filesystem::current_path();
        std::ifstream in(InitFileName(call->channel), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        gSeenInitText = text.str();
        DeliverLogLine(32, "cold start");
        if (gOverrun) {
            static_cast<std::uint8_t *>(call->instance)[kFakeInstanceSize] = 1;
        }
        break;
    }
    case ORV_OP_PARSE_SINGLE_ADDRESS:
    case ORV_OP_PARSE_BLOCK_ADDRESS: {
        auto *a = static_cast<AddressRecord *>(call->params);
        a->plcAddress = 1;
        a->regionId = 'X';
        a->elementNumber = 1;
        a->bitNumber = ORV_NO_BIT;
        a->width = 8;
        DeliverLogLine(8, "checked");
        break;
    }
    case ORV_OP_READ_BLOCK:
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        break;
    default:
        status = ORV_STATUS_COMM_FAILURE;
    }
    --gInside;
    return status;
}

std::shared_ptr<Module> FakeModule() {
    std::string error;
    auto module = Module::FromEntry(&FakeEntry, error);
    EXPECT_NE(module, nullptr) << error;
    return module;
}

TEST(HostChannel, CallsIntoOneModuleNeverOverlapWhateverTheModuleObjectOrThread) {
    // Two Module objects of one entry are one loaded module: one lock.
    auto first = FakeModule();
    auto second = FakeModule();
    ASSERT_TRUE(first && second);
    gMostInside = 0;
    auto work = [](std::shared_ptr<Module> module) {
        Channel channel(std::move(module), 1);
        for (int i = 0; i < 20; ++i) {
            auto checked = channel.CheckBlock("01X0001", ValueType::UInt16, 4);
            EXPECT_TRUE(channel.Read(checked.gate).ok());
        }
    };
    std::thread a(work, first);
    std::thread b(work, second);
    a.join();
    b.join();
    EXPECT_EQ(gMostInside.load(), 1);
}

TEST(HostChannel, ResultsCarryTheirOwnLinesAndTheHandlerSeesThemAsTheyCome) {
    Channel channel(FakeModule(), 3);
    std::vector<std::string> live;
    channel.SetLogHandler([&live](const LogLine &line) { live.push_back(line.text); });
    const auto started = channel.ColdStart();
    ASSERT_EQ(started.log.size(), 1u);
    EXPECT_EQ(started.log[0].level, 32);
    EXPECT_EQ(started.log[0].text, "cold start");
    const auto read = channel.Read("01X0001", ValueType::UInt16, 2);
    ASSERT_EQ(read.log.size(), 1u) << "the check's line, and none of the cold start's";
    EXPECT_EQ(read.log[0].text, "checked");
    EXPECT_EQ(live, (std::vector<std::string>{"cold start", "checked"}));
}

TEST(HostChannel, InitialisationTextIsReadFromAPrivateDirectoryThatIsGoneAfterwards) {
    Channel channel(FakeModule(), 7);
    const auto before = std::filesystem::current_path();
    StartOptions start;
    start.initText = "C800;800\r\nD;0A;2;2\n";
    ASSERT_TRUE(channel.ColdStart(start).ok());
    EXPECT_EQ(gSeenInitText, *start.initText) << "written byte for byte as OrvTiw07.int";
    EXPECT_NE(gSeenDirectory, before);
    EXPECT_FALSE(std::filesystem::exists(gSeenDirectory));
    EXPECT_EQ(std::filesystem::current_path(), before);

    start.initFile = "/no/such/file";
    EXPECT_FALSE(channel.ColdStart(start).ok()) << "a file and a text at once";
    start.initText.reset();
    const auto missing = channel.ColdStart(start);
    EXPECT_EQ(missing.status, kNotCalled);
    EXPECT_NE(missing.problem.find("/no/such/file"), std::string::npos) << missing.problem;
}

// The driver's cold start clears the Instance as it finds it: a device and a
// window still open there would be lost, and the card's window kept locked.
TEST(HostChannel, ASecondColdStartClosesTheFirstOnesLink) {
    Channel channel(FakeModule(), 1);
    gOps.clear();
    channel.ColdStart();
    channel.ColdStart();
    EXPECT_EQ(gOps, (std::vector<std::int32_t>{ORV_OP_COLD_START, ORV_OP_CLOSE_COM, ORV_OP_COLD_START}));
}

TEST(HostChannel, ValuesThatDoNotFitTheElementAreRefusedBeforeTheDriver) {
    Channel channel(FakeModule(), 1);
    auto checked = channel.CheckBlock("01X0001", ValueType::UInt16, 2);
    ASSERT_TRUE(checked.ok());
    const std::uint32_t tooBig[] = {1, 256};
    const auto refused = channel.Write(checked.gate, tooBig);
    EXPECT_EQ(refused.status, kNotCalled);
    EXPECT_EQ(refused.problem, "value 2 (0x00000100) does not fit an element of 8 bits");
    const std::uint32_t one[] = {1};
    EXPECT_EQ(channel.Write(checked.gate, one).problem, "give 2 values, not 1");
    EXPECT_FALSE(channel.Check(std::string("01V0064\0x", 9), ValueType::Int16).ok());
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(HostChannel, ADriverWritingPastItsInstanceIsReported) {
    Channel channel(FakeModule(), 1);
    gOverrun = true;
    const auto started = channel.ColdStart();
    gOverrun = false;
    EXPECT_EQ(started.problem, "the driver wrote past the 40 bytes of its instance");
}
#endif

} // namespace
} // namespace orvtiw::host
