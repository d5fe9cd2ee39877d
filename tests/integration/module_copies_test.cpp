// The shipped module loaded as private copies through the host library: each
// copy is a module of its own, with its own lock, so a call into one may run
// while a call into another is under way, and each parses its own
// addresses. Shown by calling into the second copy from inside a call into
// the first (from the log handler, while the first copy's lock is held):
// with one lock for both, the inner call could never begin.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>

#include "orvtiw/host.h"

namespace {

using orvtiw::host::Channel;
using orvtiw::host::Loading;
using orvtiw::host::Module;
using orvtiw::host::ValueType;

std::string gModule;
std::string gKelmar;

std::shared_ptr<Module> LoadCopy() {
    std::string error;
    auto module = Module::Load(gKelmar, gModule, error, Loading::PrivateCopy);
    EXPECT_NE(module, nullptr) << error;
    return module;
}

void StartOffline(Channel &channel) {
    orvtiw::host::StartOptions start;
    start.online = false;
    start.initText = "C800;800\n";
    ASSERT_TRUE(channel.ColdStart(start).ok());
}

TEST(ModuleCopies, CallIntoOneCopyWhileAnotherIsInACall) {
    const auto first = LoadCopy();
    const auto second = LoadCopy();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    Channel a(first, 1);
    Channel b(second, 2);
    StartOffline(a);
    StartOffline(b);

    orvtiw::host::CheckResult inner;
    bool entered = false;
    a.SetLogHandler([&](const orvtiw::host::LogLine &) {
        if (entered) {
            return;
        }
        entered = true;
        auto call = std::async(std::launch::async, [&] { return b.Check("02V0002", ValueType::UInt16); });
        if (call.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "a call into the second copy waited for the first copy's call";
            std::_Exit(1); // the inner call never returns: nothing can be cleaned up
        }
        inner = call.get();
    });
    const orvtiw::host::CheckResult outer = a.Check("01V0001", ValueType::UInt16);
    ASSERT_TRUE(entered) << "the first copy logged nothing during its address check";
    ASSERT_TRUE(outer.ok()) << outer.Describe();
    ASSERT_TRUE(inner.ok()) << inner.Describe();
    EXPECT_EQ(outer.gate.decoded.plcAddress, 1);
    EXPECT_EQ(outer.gate.decoded.elementNumber, 1);
    EXPECT_EQ(inner.gate.decoded.plcAddress, 2);
    EXPECT_EQ(inner.gate.decoded.elementNumber, 2);
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--module") {
            gModule = argv[++i];
        } else if (a == "--kelmar") {
            gKelmar = argv[++i];
        }
    }
    if (gModule.empty() || gKelmar.empty()) {
        std::fprintf(stderr, "usage: orvtiw_module_copies_test --module PATH --kelmar PATH\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
