// What the web view and the metrics show, gathered at one moment: the
// core's cards and writes, and the front ends' own figures, as plain
// numbers, so that neither the page nor the exposition reaches into a
// front end's internals. The program fills the front ends' parts.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "scan/core_stats.h"
#include "scan/jobs.h"

namespace orvgate::web {

struct ModbusFigures {
    std::uint64_t connected = 0; // now
    std::uint64_t accepted = 0;
    std::uint64_t refused = 0;
    std::uint64_t gaveWay = 0;
    std::uint64_t malformed = 0;
    std::uint64_t idle = 0;
    std::uint64_t stalled = 0;
    std::uint64_t answered = 0;
    std::uint64_t exceptions = 0;
    std::array<std::uint64_t, 12> exceptionsByCode{}; // by exception code, 1..11
};

struct MqttFigures {
    std::string phase; // "online", "connecting", ...
    bool online = false;
    std::uint64_t connections = 0;
    std::uint64_t births = 0;
    std::uint64_t commandsApplied = 0;
    std::uint64_t commandsRefused = 0;
    std::uint64_t commandsFailed = 0;
    std::uint64_t commandsRejected = 0;
    std::uint64_t storeHeld = 0;
    std::uint64_t storeDropped = 0;
};

inline constexpr std::array<JobResult, 7> kJobResults = {
    JobResult::Done,    JobResult::Refused,   JobResult::Failed,         JobResult::Expired,
    JobResult::Dropped, JobResult::Unhealthy, JobResult::AddressRefused,
};

struct GateFigures {
    Clock::time_point now{};
    std::chrono::system_clock::time_point wallNow{};
    std::chrono::system_clock::time_point startedAt{};
    std::vector<CardStatus> cards;
    std::vector<std::string> classNames; // by class index, as CardStatus::classes
    std::array<std::uint64_t, kJobResults.size()> writes{}; // by kJobResults
    std::vector<RecentWrite> recentWrites;                  // newest last
    std::optional<ModbusFigures> modbus;                    // none: the Modbus front end is off
    std::optional<MqttFigures> mqtt;                        // none: no edge node
    std::uint64_t webStreams = 0;                           // live pages open now
    std::uint64_t webStreamsRefused = 0;

    // A moment of the gateway's clock as wall time.
    std::chrono::system_clock::time_point Wall(Clock::time_point t) const {
        return wallNow - std::chrono::duration_cast<std::chrono::system_clock::duration>(now - t);
    }
};

// A health state in one word, as the page and the metrics' labels name it.
inline const char *StateWord(HealthState s) {
    switch (s) {
    case HealthState::Unknown:
        return "unknown";
    case HealthState::Good:
        return "good";
    case HealthState::Failing:
        return "failing";
    }
    return "unknown";
}

// How the program hands the front ends' figures to the web view.
struct FigureSources {
    std::function<std::optional<ModbusFigures>()> modbus;
    std::function<std::optional<MqttFigures>()> mqtt;
};

} // namespace orvgate::web
