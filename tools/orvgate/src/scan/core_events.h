// What the core tells its front ends as it happens, from the card threads:
// implementations take note and return, and do their work elsewhere.
#pragma once

#include <cstdint>

namespace orvgate {

class CoreObserver {
  public:
    virtual ~CoreObserver() = default;
    // A scan cycle of the channel ended: its values may have changed.
    virtual void CycleDone(std::int32_t channel) = 0;
    // A block of the secondary read in the scan held other values than the
    // cache had (or the cache held none): front ends that report changes as
    // they come take it, those that report per cycle leave it.
    virtual void BlockChanged(std::int32_t /*channel*/, std::int32_t /*secondary*/) {}
    // The channel's card, or one of its secondaries or blocks, changed state.
    virtual void HealthChanged(std::int32_t channel) = 0;
};

} // namespace orvgate
