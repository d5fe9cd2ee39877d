#include "scan/health.h"

#include <algorithm>

namespace orvgate {
namespace {

using orvtiw::host::FailureKind;

} // namespace

const char *HealthStateName(HealthState state) {
    switch (state) {
    case HealthState::Unknown:
        return "not read yet";
    case HealthState::Good:
        return "good";
    case HealthState::Failing:
        return "failing";
    }
    return "?";
}

CardHealth::CardHealth(RetryPolicy policy, std::vector<std::int32_t> blockSecondaries, Clock::time_point now)
    : policy_(policy), blockSecondaries_(std::move(blockSecondaries)), blocks_(blockSecondaries_.size()) {
    channel_.since = now;
    for (Health &b : blocks_) {
        b.since = now;
    }
    for (const std::int32_t s : blockSecondaries_) {
        secondaries_[s].since = now;
    }
}

const Health &CardHealth::Secondary(std::int32_t secondary) const {
    static const Health kNeverSeen;
    const auto at = secondaries_.find(secondary);
    return at == secondaries_.end() ? kNeverSeen : at->second;
}

HealthState CardHealth::EffectiveState(std::int32_t secondary) const {
    return channel_.Failing() ? HealthState::Failing : Secondary(secondary).state;
}

void CardHealth::Become(Health &h, HealthState to, Clock::time_point now, HealthChange::Of of, std::int32_t secondary,
                        std::size_t block, std::vector<HealthChange> &changes) {
    HealthChange change;
    change.of = of;
    change.secondary = secondary;
    change.block = block;
    change.from = h.state;
    change.to = to;
    change.lasted = now - h.since;
    change.failure = h.last;
    h.state = to;
    h.since = now;
    h.tries = 0;
    h.wait = Clock::duration(0);
    changes.push_back(std::move(change));
}

void CardHealth::Fail(Health &h, const orvtiw::host::Failure &failure, Clock::time_point now, HealthChange::Of of,
                      std::int32_t secondary, std::size_t block, std::vector<HealthChange> &changes) {
    h.last = failure;
    if (!h.Failing()) {
        Become(h, HealthState::Failing, now, of, secondary, block, changes);
        h.wait = policy_.first;
    } else {
        h.wait = std::min(h.wait * 2, policy_.most);
    }
    ++h.tries;
    h.nextTry = now + h.wait;
}

void CardHealth::Prove(Health &h, Clock::time_point now, HealthChange::Of of, std::int32_t secondary, std::size_t block,
                       std::vector<HealthChange> &changes) {
    if (h.state != HealthState::Good) {
        Become(h, HealthState::Good, now, of, secondary, block, changes);
    }
}

std::vector<HealthChange> CardHealth::Record(const orvtiw::host::Failure &failure, std::int32_t secondary,
                                             std::size_t block, Clock::time_point now) {
    using Of = HealthChange::Of;
    std::vector<HealthChange> changes;
    Health *sec = secondary != 0 ? &secondaries_[secondary] : nullptr;
    Health *blk = block < blocks_.size() ? &blocks_[block] : nullptr;
    const bool failed = failure.kind != FailureKind::None;
    for (Health *h : {sec, blk}) {
        if (h != nullptr) {
            ++h->transfers;
            h->failures += failed ? 1 : 0;
        }
    }
    switch (failure.kind) {
    case FailureKind::None:
    case FailureKind::ControllerRefusal:
        Prove(channel_, now, Of::Channel, 0, kNoBlock, changes);
        if (sec != nullptr) {
            Prove(*sec, now, Of::Secondary, secondary, kNoBlock, changes);
        }
        if (blk != nullptr) {
            if (failed) {
                Fail(*blk, failure, now, Of::Block, secondary, block, changes);
            } else {
                Prove(*blk, now, Of::Block, secondary, block, changes);
            }
        }
        break;
    case FailureKind::SecondaryUnreachable:
        Prove(channel_, now, Of::Channel, 0, kNoBlock, changes);
        if (sec != nullptr) {
            Fail(*sec, failure, now, Of::Secondary, secondary, kNoBlock, changes);
        }
        break;
    case FailureKind::CardNotAnswering:
        if (!channel_.Failing()) {
            // Nothing behind a lost card is known any more: each must be
            // read again once the card is back.
            for (auto &[number, h] : secondaries_) {
                if (h.state != HealthState::Unknown) {
                    Become(h, HealthState::Unknown, now, Of::Secondary, number, kNoBlock, changes);
                }
            }
            for (std::size_t b = 0; b < blocks_.size(); ++b) {
                if (blocks_[b].state != HealthState::Unknown) {
                    Become(blocks_[b], HealthState::Unknown, now, Of::Block, blockSecondaries_[b], b, changes);
                }
            }
        }
        Fail(channel_, failure, now, Of::Channel, 0, kNoBlock, changes);
        break;
    case FailureKind::RecordRefused:
        // Refused before any exchange: nothing is proved about the network,
        // and a scan block the driver refuses fails alone.
        if (blk != nullptr) {
            Fail(*blk, failure, now, Of::Block, secondary, block, changes);
        }
        break;
    }
    return changes;
}

bool CardHealth::ShouldRead(std::size_t block, Clock::time_point now) const {
    if (channel_.Failing() || block >= blocks_.size()) {
        return false; // a failing channel is tried by its own retry
    }
    const std::int32_t secondary = blockSecondaries_[block];
    const Health &sec = Secondary(secondary);
    if (sec.Failing()) {
        return sec.Due(now) && ProbeOf(secondary) == block;
    }
    return blocks_[block].Due(now);
}

bool CardHealth::WarmStartDue() const {
    return channel_.Failing() && channel_.tries % 2 == 0;
}

std::size_t CardHealth::ProbeOf(std::int32_t secondary) const {
    std::size_t dueFirst = kNoBlock;
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
        if (blockSecondaries_[b] != secondary) {
            continue;
        }
        if (!blocks_[b].Failing()) {
            return b;
        }
        if (dueFirst == kNoBlock || blocks_[b].nextTry < blocks_[dueFirst].nextTry) {
            dueFirst = b;
        }
    }
    return dueFirst;
}

Clock::time_point CardHealth::NextDue() const {
    if (channel_.Failing()) {
        return channel_.nextTry;
    }
    Clock::time_point next = Clock::time_point::max();
    for (const auto &[number, h] : secondaries_) {
        if (h.Failing()) {
            next = std::min(next, h.nextTry);
        }
    }
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
        if (blocks_[b].Failing() && !Secondary(blockSecondaries_[b]).Failing()) {
            next = std::min(next, blocks_[b].nextTry);
        }
    }
    return next;
}

} // namespace orvgate
