// Where a failed call's fault lies, as the host library judges it from the
// formats of the lines the real driver logs, against the simulated card on
// the virtual clock.
#include <gtest/gtest.h>

#include "adapter.h"
#include "card.h"
#include "network.h"
#include "support/result_log.h"
#include "support/temp_dir.h"
#include "support/test_channel.h"
#include "support/virtual_platform.h"

namespace tiwaysim::test {
namespace {

using orvtiw::host::ClassifyFailure;
using orvtiw::host::FailureKind;
using orvtiw::host::ValueType;

class FailureKinds : public ::testing::Test {
  protected:
    FailureKinds() : network(Network::Default()), adapter(network), card(adapter) {
        vp.onMillisecond = [this](std::uint32_t now) { card.Step(vp.cardWindow(), now); };
        dir.write("OrvTiw03.int", "C800;800\n");
        orvtiw::host::StartOptions start;
        start.timeoutUnits = 100;
        EXPECT_TRUE(ch.channel.ColdStart(start).ok());
    }

    orvtiw::host::Failure ReadFailure(const char *address = "01V0064") {
        return ClassifyFailure(ch.channel.Read(address, ValueType::UInt16));
    }

    orvtiw::test::LinesIntoResults lines;
    orvtiw::test::TempWorkingDir dir;
    orvtiw::test::VirtualPlatform vp;
    Network network;
    Adapter adapter;
    Card card;
    orvtiw::test::TestChannel ch{3};
};

TEST_F(FailureKinds, WidestFaultOfTheCallByTheDriversFormats) {
    EXPECT_EQ(ReadFailure().kind, FailureKind::None);

    card.faults.primitiveError = 0x02;
    orvtiw::host::Failure f = ReadFailure();
    EXPECT_EQ(f.kind, FailureKind::ControllerRefusal);
    EXPECT_EQ(f.code, 0x0002);
    EXPECT_EQ(f.text, "CheckReply() - primitive error: 0x0002");

    // The controller refuses, then the card stops answering while the
    // driver reconnects the secondary: the card is what failed.
    card.onExchange = [this](const Exchange &) { card.faults.failNext = 1000; };
    EXPECT_EQ(ReadFailure().kind, FailureKind::CardNotAnswering);
    card.onExchange = nullptr;
    card.faults = {};

    card.faults.disconnected.set(1);
    f = ReadFailure();
    EXPECT_EQ(f.kind, FailureKind::SecondaryUnreachable);
    EXPECT_EQ(f.code, 0x0104);
    card.faults.disconnected.reset();

    card.faults.dropAck = true;
    f = ReadFailure();
    EXPECT_EQ(f.kind, FailureKind::CardNotAnswering);
    EXPECT_EQ(f.text, "Host Adapter did not acknowledge command");
    card.faults = {};

    // Refused before any exchange: by the driver, and by the library.
    f = ReadFailure("01Q0064");
    EXPECT_EQ(f.kind, FailureKind::RecordRefused);
    EXPECT_EQ(f.text, "Tiw-parse Invalid Data Region Id (Q)");
    EXPECT_EQ(ClassifyFailure(ch.channel.Read("01V0064", ValueType::UInt16, 300)).kind, FailureKind::RecordRefused);
}

} // namespace
} // namespace tiwaysim::test
