// The benchmark's own arithmetic and plumbing: a wrong percentile, a verdict
// that cannot fail, a network whose values the reads are checked against
// that tiwaysim would read differently, or a simulator left running would
// each make its figures worthless.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <numeric>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>

#include "addressing/init_file.h"
#include "bench_support.h"
#include "card.h"
#include "channel/instance.h"
#include "network_config.h"
#include "sim_process.h"

namespace orvbench {
namespace {

TEST(Summarize, NearestRankOfShuffledSamples) {
    std::vector<double> v(200);
    std::iota(v.begin(), v.end(), 1.0);
    std::shuffle(v.begin(), v.end(), std::mt19937(7));
    const Summary s = Summarize(v);
    EXPECT_EQ(s.n, 200u);
    EXPECT_EQ(s.min, 1.0);
    EXPECT_EQ(s.max, 200.0);
    EXPECT_EQ(s.median, 100.0);
    EXPECT_EQ(s.p99, 198.0);
    EXPECT_DOUBLE_EQ(s.mean, 100.5);
}

TEST(Summarize, SmallAndEmptySets) {
    const Summary one = Summarize({42.0});
    EXPECT_EQ(one.median, 42.0);
    EXPECT_EQ(one.p99, 42.0);
    // Two late samples in a hundred are in the 99th percentile, one is not.
    std::vector<double> v(100, 1.0);
    v[3] = 50.0;
    EXPECT_EQ(Summarize(v).p99, 1.0);
    v[4] = 60.0;
    EXPECT_EQ(Summarize(v).p99, 50.0);
    EXPECT_EQ(Summarize(v).max, 60.0);
    EXPECT_EQ(Summarize({}).n, 0u);
    EXPECT_EQ(Summarize({}).median, 0.0);
}

TEST(FitLine, ExactAndDegenerateLines) {
    const LineFit f = FitLine({31, 62, 124, 248}, {100 + 31 * 2.5, 100 + 62 * 2.5, 100 + 124 * 2.5, 100 + 248 * 2.5});
    EXPECT_NEAR(f.slope, 2.5, 1e-9);
    EXPECT_NEAR(f.intercept, 100, 1e-9);
    EXPECT_NEAR(f.r2, 1.0, 1e-12);
    // Times that do not grow with the gates fit badly.
    EXPECT_LT(FitLine({1, 2, 3, 4}, {5, 1, 5, 1}).r2, 0.5);
    EXPECT_EQ(FitLine({3}, {1}).slope, 0.0);
    EXPECT_EQ(FitLine({2, 2}, {1, 5}).slope, 0.0);
}

TEST(JudgeShortRun, PassesOnlyWithinBothLimits) {
    const double floor = 1060;
    EXPECT_TRUE(JudgeShortRun(floor, {{"gate", 2 * floor, 30, 2200}}).empty());
    EXPECT_TRUE(JudgeShortRun(floor, {{"gate", 3 * floor, 440, 2200}}).empty()) << "the limits themselves pass";

    const auto slow = JudgeShortRun(floor, {{"gate", 1100, 30, 2200}, {"block", 3.2 * floor, 30, 2200}});
    ASSERT_EQ(slow.size(), 1u);
    EXPECT_NE(slow[0].find("block"), std::string::npos);

    const auto busy = JudgeShortRun(floor, {{"gate", 1100, 450, 2200}});
    ASSERT_EQ(busy.size(), 1u);
    EXPECT_NE(busy[0].find("CPU"), std::string::npos);

    EXPECT_EQ(JudgeShortRun(floor, {{"gate", 4 * floor, 1000, 2200}}).size(), 2u);
}

TEST(JudgeShortRun, NothingMeasuredFails) {
    EXPECT_FALSE(JudgeShortRun(0, {{"gate", 1100, 30, 2200}}).empty());
    EXPECT_FALSE(JudgeShortRun(1060, {}).empty());
    EXPECT_FALSE(JudgeShortRun(1060, {{"gate", 0, 0, 0}}).empty());
}

TEST(BenchNetwork, TiwaysimReadsTheValuesTheReadsAreCheckedAgainst) {
    std::istringstream in(NetworkConfigText(8, 31, 128));
    std::vector<tiwaysim::CardPlan> cards;
    std::string error;
    ASSERT_TRUE(tiwaysim::ReadNetworkConfig(in, cards, error)) << error;
    ASSERT_EQ(cards.size(), 8u);
    std::set<std::uint16_t> segments;
    for (int c = 0; c < 8; ++c) {
        const auto &card = cards[static_cast<std::size_t>(c)];
        EXPECT_EQ(card.segment, CardSegment(c));
        // Windows of 0x800 bytes a page apart never overlap.
        EXPECT_EQ((std::uint32_t{card.segment} << 4) % 4096, 0u);
        segments.insert(card.segment);
        for (int s = 1; s <= 31; ++s) {
            const tiwaysim::Controller *ctl = card.network.At(s);
            ASSERT_NE(ctl, nullptr) << "card " << c << " secondary " << s;
            const tiwaysim::Region *v = ctl->Find(0x01);
            ASSERT_NE(v, nullptr);
            for (int e = 1; e <= 128; e += 31) {
                EXPECT_EQ(v->Get(static_cast<std::uint32_t>(e)), ExpectedWord(c, s, e));
            }
            EXPECT_EQ(v->Get(129), 0u) << "nothing beyond the block";
        }
        EXPECT_EQ(card.network.At(32), nullptr);
    }
    EXPECT_EQ(segments.size(), 8u);
}

TEST(BenchNetwork, EveryCheckedValueIsDistinct) {
    std::set<std::uint16_t> seen;
    for (int c = 0; c < 8; ++c) {
        for (int s = 1; s <= 31; ++s) {
            for (int e = 1; e <= 128; ++e) {
                EXPECT_TRUE(seen.insert(ExpectedWord(c, s, e)).second) << c << " " << s << " " << e;
            }
        }
    }
}

TEST(BenchNetwork, TheDriverFindsEachCardWhereTiwaysimServesIt) {
    char tmpl[] = "/tmp/orvtiw-bench-init.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(tmpl), 0);
    for (int c = 0; c < 8; ++c) {
        FILE *f = std::fopen("OrvTiw05.int", "w");
        ASSERT_NE(f, nullptr);
        std::fputs(InitFileText(c).c_str(), f);
        std::fclose(f);
        std::vector<std::uint8_t> memory(sizeof(orvtiw::Instance), 0);
        auto &inst = *reinterpret_cast<orvtiw::Instance *>(memory.data());
        inst.channel = 5;
        EXPECT_EQ(orvtiw::ReadInitFile(inst), 1);
        EXPECT_EQ(+inst.cardSegment, CardSegment(c));
        EXPECT_EQ(+inst.cardWindowSize, 0x800);
    }
    unlink("OrvTiw05.int");
    ASSERT_EQ(chdir(previous), 0);
    rmdir(tmpl);
}

TEST(LineTime, ModelledTimesMatchTheCard) {
    // A single-gate read: 10 request bytes and 8 reply bytes.
    EXPECT_DOUBLE_EQ(LineTimeUs(18, 115200), 1250.0);
    EXPECT_NEAR(LineTimeUs(272, 115200), 18888.9, 0.1);
    EXPECT_NEAR(LineTimeUs(272, 115200), static_cast<double>(tiwaysim::LineTimeUs(272, 115200)), 1.0)
        << "the line time the benchmark reports is the one tiwaysim waits";
}

class SimProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/orvtiw-bench-test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        for (const char *name : {"device", "tiwaysim.log"}) {
            unlink((dir_ + "/" + name).c_str());
        }
        rmdir(dir_.c_str());
    }
    std::string dir_;
};

TEST_F(SimProcessTest, StartsTakesCommandsAndStops) {
    tiwaysim::SimProcess sim(ORVBENCH_TIWAYSIM, dir_ + "/device", dir_);
    std::string error;
    ASSERT_TRUE(sim.Start(error, {"--poll-us", "1000"})) << error;
    EXPECT_GT(sim.pid(), 0);
    EXPECT_GE(sim.CpuSeconds(), 0.0);
    std::string answer;
    EXPECT_TRUE(sim.Control("delay 7", answer)) << answer;
    EXPECT_FALSE(sim.Control("status", answer)) << "a status line is not ok";
    EXPECT_NE(answer.find("delay 7"), std::string::npos) << answer;
    EXPECT_FALSE(sim.Control("no-such-switch", answer));
    EXPECT_EQ(answer.rfind("error", 0), 0u) << answer;
    const pid_t pid = sim.pid();
    EXPECT_TRUE(sim.Stop());
    EXPECT_NE(kill(pid, 0), 0) << "the simulator is gone";
    EXPECT_FALSE(sim.Control("status", answer)) << "nobody answers after the stop";
}

TEST_F(SimProcessTest, ReportsASimulatorThatCannotStart) {
    tiwaysim::SimProcess sim(ORVBENCH_TIWAYSIM, dir_ + "/device", dir_);
    std::string error;
    EXPECT_FALSE(sim.Start(error, {"--poll-us", "5"}));
    EXPECT_NE(error.find("poll-us"), std::string::npos) << error;
    EXPECT_EQ(sim.pid(), -1);
}

} // namespace
} // namespace orvbench
