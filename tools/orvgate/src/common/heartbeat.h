// A thread's sign of progress: the moment it last came round its loop or
// back from a call, stamped by the thread itself and read by the service's
// watchdog from another, without a lock.
#pragma once

#include <atomic>

#include "common/clock.h"

namespace orvgate {

class Heartbeat {
  public:
    Heartbeat() : at_(Clock::now().time_since_epoch().count()) {}

    void Beat(Clock::time_point now = Clock::now()) {
        at_.store(now.time_since_epoch().count(), std::memory_order_relaxed);
    }
    Clock::time_point Last() const {
        return Clock::time_point(Clock::duration(at_.load(std::memory_order_relaxed)));
    }

  private:
    std::atomic<Clock::rep> at_;
};

} // namespace orvgate
