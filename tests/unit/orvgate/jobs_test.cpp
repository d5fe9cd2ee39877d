// A job's steps go on only while their requester waits: a write over two
// channels whose client left, or whose deadline passed, after its first
// step is cut short before the next, on whichever card that step lies.
#include <gtest/gtest.h>

#include "scan/jobs.h"

namespace orvgate {
namespace {

using namespace std::chrono_literals;

std::shared_ptr<Job> TwoStepWrite(Clock::time_point deadline) {
    auto job = std::make_shared<Job>();
    job->writes.resize(2);
    job->deadline = deadline;
    return job;
}

TEST(Job, EveryStepChecksItsRequesterAndItsDeadline) {
    const Clock::time_point t0 = Clock::now();

    auto left = TwoStepWrite(t0 + 300ms);
    ASSERT_TRUE(left->Begin());
    EXPECT_FALSE(left->EndBeforeStep(t0)) << "the first step goes";
    left->nextStep = 1; // applied on the first card, handed on to the second
    EXPECT_FALSE(left->Cancel()) << "begun: its first step may have been applied";
    ASSERT_EQ(left->EndBeforeStep(t0 + 1ms), JobResult::Failed) << "its client left: the second card must not write";
    EXPECT_NE(left->failure.text.find("cut short after 1 of 2 steps: its requester left"), std::string::npos);

    auto late = TwoStepWrite(t0 + 300ms);
    ASSERT_TRUE(late->Begin());
    late->nextStep = 1;
    EXPECT_FALSE(late->EndBeforeStep(t0 + 300ms));
    EXPECT_EQ(late->EndBeforeStep(t0 + 301ms), JobResult::Failed) << "the second card came to it past its deadline";

    // Before the first step nothing was applied: dropped or expired, as before.
    auto gone = TwoStepWrite(t0 + 300ms);
    EXPECT_TRUE(gone->Cancel());
    EXPECT_FALSE(gone->Begin());
    EXPECT_EQ(gone->EndBeforeStep(t0), JobResult::Dropped);
    auto expired = TwoStepWrite(t0 + 300ms);
    ASSERT_TRUE(expired->Begin());
    EXPECT_EQ(expired->EndBeforeStep(t0 + 1s), JobResult::Expired);
}

} // namespace
} // namespace orvgate
