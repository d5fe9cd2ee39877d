// The health of what one card's scan reads through, in one place: the
// channel (the card and its link), each secondary behind it, and each block
// of the scan. Each is unknown (not read since it started or since its card
// came back), good, or failing since a moment and tried again at another.
// A call's outcome, as the host library classifies it, moves them:
//
//   - any answer from the card (a success, an MHIU error, a primitive
//     error) proves the channel; the card not answering fails it;
//   - a controller that answers anything, a refusal included, is reachable;
//     the adapter reporting it unreachable fails the secondary;
//   - a block the controller refuses fails alone;
//   - every failed try of what was failing already doubles its wait, up to
//     the most, so that nothing is tried again without backing off.
//
// The card's scan asks it which block to read: none of a failing channel
// or secondary until its try is due, and then one (a failing secondary is
// probed by a block of its that is not refused itself). Pure and single
// threaded: the card's own thread owns it and passes the time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "common/clock.h"
#include "orvtiw/host.h"

namespace orvgate {

enum class HealthState : std::uint8_t { Unknown = 0, Good = 1, Failing = 2 };

const char *HealthStateName(HealthState state);

// Waits before failing things are tried again: the first, then doubled up to the most.
struct RetryPolicy {
    Clock::duration first = std::chrono::seconds(1);
    Clock::duration most = std::chrono::seconds(30);
};

struct Health {
    HealthState state = HealthState::Unknown;
    Clock::time_point since{};   // in this state since
    Clock::time_point nextTry{}; // failing: tried again from then on
    Clock::duration wait{0};     // failing: the wait that led to nextTry
    int tries = 0;               // failing: failed tries, the one that began it included
    orvtiw::host::Failure last;  // the last failure
    std::uint64_t transfers = 0; // calls recorded on it
    std::uint64_t failures = 0;  // of them failed

    bool Failing() const {
        return state == HealthState::Failing;
    }
    bool Due(Clock::time_point now) const {
        return state != HealthState::Failing || now >= nextTry;
    }
};

// A state that changed, for the log, the statistics and the front ends.
struct HealthChange {
    enum class Of { Channel, Secondary, Block };
    Of of = Of::Channel;
    std::int32_t secondary = 0; // of Secondary and Block
    std::size_t block = 0;      // of Block: the card's own index
    HealthState from = HealthState::Unknown;
    HealthState to = HealthState::Unknown;
    Clock::duration lasted{0};     // how long the old state had lasted
    orvtiw::host::Failure failure; // to Failing: why
};

class CardHealth {
  public:
    static constexpr std::size_t kNoBlock = static_cast<std::size_t>(-1);

    // `blockSecondaries`: the secondary each of the card's blocks reads, by
    // the card's own block index; more secondaries are added as calls name them.
    CardHealth(RetryPolicy policy, std::vector<std::int32_t> blockSecondaries, Clock::time_point now);

    // A call through `secondary` (0: none) came to `failure`; `block` is the
    // scan block it read, or kNoBlock (a write, a transparent transfer).
    std::vector<HealthChange> Record(const orvtiw::host::Failure &failure, std::int32_t secondary, std::size_t block,
                                     Clock::time_point now);

    // Whether the scan reads `block` now.
    bool ShouldRead(std::size_t block, Clock::time_point now) const;
    // Whether a try of the failing channel, due now, should begin with a
    // warm start: every second try in a row (a card that lost its mailbox
    // handshake answers nothing until it is reset).
    bool WarmStartDue() const;
    // The block a failing secondary is probed by: its first block that is
    // not failing itself, else the one due first.
    std::size_t ProbeOf(std::int32_t secondary) const;
    // When the first failing thing is due again (time_point::max() when nothing fails).
    Clock::time_point NextDue() const;

    const Health &Channel() const {
        return channel_;
    }
    const Health &Secondary(std::int32_t secondary) const;
    const Health &Block(std::size_t block) const {
        return blocks_.at(block);
    }
    const std::map<std::int32_t, Health> &Secondaries() const {
        return secondaries_;
    }
    std::size_t BlockCount() const {
        return blocks_.size();
    }
    std::int32_t SecondaryOf(std::size_t block) const {
        return blockSecondaries_.at(block);
    }
    // The state a front end goes by: a secondary whose channel fails fails with it.
    HealthState EffectiveState(std::int32_t secondary) const;

  private:
    void Become(Health &h, HealthState to, Clock::time_point now, HealthChange::Of of, std::int32_t secondary,
                std::size_t block, std::vector<HealthChange> &changes);
    void Fail(Health &h, const orvtiw::host::Failure &failure, Clock::time_point now, HealthChange::Of of,
              std::int32_t secondary, std::size_t block, std::vector<HealthChange> &changes);
    void Prove(Health &h, Clock::time_point now, HealthChange::Of of, std::int32_t secondary, std::size_t block,
               std::vector<HealthChange> &changes);

    RetryPolicy policy_;
    std::vector<std::int32_t> blockSecondaries_;
    Health channel_;
    std::map<std::int32_t, Health> secondaries_;
    std::vector<Health> blocks_;
};

} // namespace orvgate
