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
    // The channel's card, or one of its secondaries or blocks, changed state.
    virtual void HealthChanged(std::int32_t channel) = 0;
};

} // namespace orvgate
