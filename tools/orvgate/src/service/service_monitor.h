// The service's own thread: once the gateway serves, it says READY=1 and
// then keeps systemd told: STATUS= whenever what it says of the channels
// changes (woken by the core's health changes), WATCHDOG=1 at half the
// unit's WatchdogSec while every card thread and front end makes progress,
// and, when no channel has answered within the start-up limit, a give-up
// that ends the program as a failure.
//
//   ServiceMonitor monitor(notifier, limit, timeoutMs);
//   core.AddObserver(&monitor);                        // before the core runs
//   ...listen...
//   monitor.Serving(cards, parts, "serving ...", giveUp);
//   ...
//   monitor.Stop();                                    // STOPPING=1
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/heartbeat.h"
#include "scan/core_events.h"
#include "scan/core_stats.h"
#include "service/notifier.h"

namespace orvgate::service {

// The longest a driver call may take with a reply time-out of `timeoutMs`:
// a warm start of a card that never answers its reset, or a read's three
// attempts at a card that never replies.
Clock::duration LongestDriverCall(std::int32_t timeoutMs);

class ServiceMonitor final : public CoreObserver {
  public:
    // `startupLimit`: how long from now a channel must have answered (0:
    // no limit); `timeoutMs`: the driver's reply time-out, by which a
    // WatchdogSec too short for the longest driver call is told at once.
    ServiceMonitor(const Notifier &notifier, Clock::duration startupLimit, std::int32_t timeoutMs);
    ~ServiceMonitor() override;
    ServiceMonitor(const ServiceMonitor &) = delete;
    ServiceMonitor &operator=(const ServiceMonitor &) = delete;

    void CycleDone(std::int32_t) override {}
    void HealthChanged(std::int32_t channel) override;

    using Part = std::pair<std::string, const Heartbeat *>;
    // READY=1, and the thread. `cards`: the core's card status now; `parts`:
    // the heartbeats of every card thread and front end; `serving`: what the
    // status begins with; `giveUp`: called once, from the thread, when no
    // channel answered in time.
    void Serving(std::function<std::vector<CardStatus>()> cards, std::vector<Part> parts, std::string serving,
                 std::function<void()> giveUp);
    // STOPPING=1, and the thread ends.
    void Stop();

    bool GaveUp() const;

  private:
    void Run(std::function<std::vector<CardStatus>()> cards, std::vector<Part> parts, std::string serving,
             std::function<void()> giveUp);

    const Notifier &notifier_;
    Clock::duration startupLimit_;
    Clock::time_point started_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool woken_ = false;
    bool stop_ = false;
    bool gaveUp_ = false;
};

} // namespace orvgate::service
