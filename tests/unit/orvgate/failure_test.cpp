// What a failed call tells about the network, from the driver's lines, and
// when the gateway tries again.
#include <gtest/gtest.h>

#include "failure.h"

namespace orvgate {
namespace {

using namespace std::chrono_literals;

orvtiw::host::Result Failed(std::vector<std::string> lines) {
    orvtiw::host::Result r;
    r.status = ORV_STATUS_COMM_FAILURE;
    for (std::string &text : lines) {
        r.log.push_back({32, std::move(text)});
    }
    return r;
}

TEST(Failure, TellsTheCardTheSecondaryAndTheBlockApart) {
    Failure f = Classify(Failed({"ORV01: TIW: Timeout Waiting for response from Host Adapter",
                                 "ORV01: TIW: Host Adapter did not clear from previous command"}));
    EXPECT_EQ(f.scope, FailureScope::Link);
    EXPECT_EQ(f.kind, ErrorKind::Link);
    EXPECT_EQ(f.text, "Timeout Waiting for response from Host Adapter");

    f = Classify(Failed({"ORV01: TIW: CheckReply() - MHIU Error: 0x0104",
                         "ORV01: TIW: ReconnectSecondarys(): Failed to connect secondary devices: 02"}));
    EXPECT_EQ(f.scope, FailureScope::Secondary);
    EXPECT_EQ(f.kind, ErrorKind::Adapter);
    EXPECT_EQ(f.code, 0x0104);

    // The controller refused the request, and the secondary answers.
    f = Classify(Failed({"ORV01: TIW: CheckReply() - primitive error: 0x0002",
                         "ORV01: TIW: ReconnectSecondarys(): Succeed to connect secondary devices: 02",
                         "ORV01: TIW: CheckReply() - primitive error: 0x0002"}));
    EXPECT_EQ(f.scope, FailureScope::Block);
    EXPECT_EQ(f.kind, ErrorKind::Controller);
    EXPECT_EQ(f.code, 0x0002);

    orvtiw::host::Result refused;
    refused.problem = "value 1 (0x00010000) does not fit an element of 16 bits";
    f = Classify(refused);
    EXPECT_EQ(f.scope, FailureScope::Block);
    EXPECT_EQ(f.text, refused.problem);
}

TEST(Failure, RetriesDoubleTheirWaitUpToTheMost) {
    RetrySchedule s(100ms, 300ms);
    const Clock::time_point t0 = Clock::now();
    EXPECT_TRUE(s.Due(t0));
    s.Failed(t0);
    EXPECT_FALSE(s.Due(t0 + 99ms));
    EXPECT_TRUE(s.Due(t0 + 100ms));
    s.Failed(t0);
    EXPECT_EQ(s.Next(), t0 + 200ms);
    s.Failed(t0);
    s.Failed(t0);
    EXPECT_EQ(s.Next(), t0 + 300ms);
    EXPECT_EQ(s.Failures(), 4);
    s.Succeeded();
    EXPECT_TRUE(s.Due(t0));
    s.Failed(t0);
    EXPECT_EQ(s.Next(), t0 + 100ms);
}

} // namespace
} // namespace orvgate
