// The log's lines as journald and a person read them, and the Modbus
// clients' connects told once a minute rather than one line each.
#include <gtest/gtest.h>

#include "common/gate_log.h"
#include "modbus/connection_summary.h"
#include "scan/failure_words.h"

namespace orvgate {
namespace {

using namespace std::chrono_literals;

TEST(GateLog, JournalOnlyWhenItsStreamIsStandardError) {
    EXPECT_TRUE(IsJournalStream("8:1234567", 8, 1234567));
    EXPECT_FALSE(IsJournalStream("8:1234567", 8, 1234568)) << "stderr redirected away from the journal";
    EXPECT_FALSE(IsJournalStream("8:1234567x", 8, 1234567));
    EXPECT_FALSE(IsJournalStream("8", 8, 0));
    EXPECT_FALSE(IsJournalStream("", 0, 0));

    const auto at = std::chrono::system_clock::from_time_t(1700000000) + 42ms;
    EXPECT_EQ(FormatLogLine(Level::Warning, true, at, "channel 1 lost"), "<4>channel 1 lost");
    const std::string plain = FormatLogLine(Level::Notice, false, at, "channel 1 back");
    EXPECT_EQ(plain, LocalTime(at) + ".042 notice orvgate: channel 1 back");
    EXPECT_EQ(LocalTime(at).size(), 19u) << "YYYY-MM-DD HH:MM:SS";
}

TEST(GateLog, FailuresInWordsWithTheirCodes) {
    orvtiw::host::Failure f;
    f.kind = orvtiw::host::FailureKind::SecondaryUnreachable;
    f.code = 0x0104;
    EXPECT_EQ(FailureWords(f), "disconnected from the network (MHIU 0x0104)");
    f.code = 0x0177;
    EXPECT_EQ(FailureWords(f), "the secondary cannot be reached (MHIU 0x0177)");
    f.kind = orvtiw::host::FailureKind::ControllerRefusal;
    f.code = 0x02;
    EXPECT_EQ(FailureWords(f), "the element is beyond the controller's memory (error 0x02)");
    f.kind = orvtiw::host::FailureKind::CardNotAnswering;
    EXPECT_EQ(FailureWords(f), "the card is not answering");
}

TEST(ConnectionSummary, OneLineAMinuteAndNoneForAQuietMinute) {
    const Clock::time_point t0{};
    ConnectionSummary summary(t0);
    for (int poll = 0; poll < 90; ++poll) {
        summary.Connected();
        summary.Closed();
        EXPECT_FALSE(summary.Due(t0 + poll * 500ms, 0)) << "within the minute";
    }
    EXPECT_EQ(summary.Due(t0 + 60s, 1), "Modbus clients in the last 60 s: 90 connected, 90 closed, 1 open now");
    EXPECT_FALSE(summary.Due(t0 + 121s, 1)) << "a quiet minute says nothing";
    summary.Closed();
    EXPECT_FALSE(summary.Due(t0 + 150s, 0)) << "the count starts again at the last line";
    EXPECT_EQ(summary.Due(t0 + 181s, 0), "Modbus clients in the last 60 s: 0 connected, 1 closed, 0 open now");
}

} // namespace
} // namespace orvgate
