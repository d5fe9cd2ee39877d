// The gateway's statistics: per secondary its state (good, or failing since
// when), driver transfers, failures and last error; the scan cycle; the
// clients and requests. Printed as text (--stats, SIGUSR1, exit) and served
// as input registers at the statistics unit (layout in the README).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "failure.h"
#include "freshness.h"

namespace orvgate {

enum class SecondaryState : std::uint16_t { Unread = 0, Good = 1, Failing = 2 };

struct SecondaryRecord {
    SecondaryState state = SecondaryState::Unread;
    Clock::time_point since{};
    std::uint64_t transfers = 0;
    std::uint64_t failures = 0;
    ErrorKind lastKind = ErrorKind::None;
    std::uint16_t lastCode = 0;
    std::int32_t lastStatus = 0;
    std::string lastError;
};

// Layout of the statistics registers.
inline constexpr std::uint16_t kStatsLayout = 1;
inline constexpr std::size_t kStatsHeader = 24;
inline constexpr std::size_t kStatsRow = 12;

class GateStats {
  public:
    GateStats(const Freshness &freshness, Clock::time_point started);

    // Driver thread.
    void Track(std::int32_t channel, std::int32_t secondary); // a row before its first transfer
    void Transfer(std::int32_t channel, std::int32_t secondary, const Failure *failure);
    // Returns the state it had.
    SecondaryState SetState(std::int32_t channel, std::int32_t secondary, SecondaryState state,
                            Clock::time_point since);
    void WriteDone(bool applied);
    void CycleCpu(std::chrono::microseconds cpu);

    // Server thread.
    void ClientsConnected(std::size_t n) {
        connected_ = n;
    }
    void Refused() {
        ++refused_;
    }
    void Malformed() {
        ++malformed_;
    }
    void IdleClosed() {
        ++idle_;
    }
    void Answered(bool exception) {
        ++answered_;
        if (exception) {
            ++exceptions_;
        }
    }

    // Any thread.
    std::vector<std::uint16_t> Registers(Clock::time_point now) const;
    std::string Report(Clock::time_point now) const;
    SecondaryRecord Secondary(std::int32_t channel, std::int32_t secondary) const;

  private:
    const Freshness &freshness_;
    Clock::time_point started_;
    mutable std::mutex mutex_;
    std::map<std::pair<std::int32_t, std::int32_t>, SecondaryRecord> secondaries_;
    std::atomic<std::size_t> connected_{0};
    std::atomic<std::uint64_t> refused_{0};
    std::atomic<std::uint64_t> malformed_{0};
    std::atomic<std::uint64_t> idle_{0};
    std::atomic<std::uint64_t> answered_{0};
    std::atomic<std::uint64_t> exceptions_{0};
    std::atomic<std::uint64_t> writesApplied_{0};
    std::atomic<std::uint64_t> writesFailed_{0};
    std::atomic<std::int64_t> cycleCpuUs_{0};
};

} // namespace orvgate
