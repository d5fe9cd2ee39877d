// What orvgate tells systemd, through libsystemd's sd_notify: READY=1,
// STATUS=, WATCHDOG=1, STOPPING=1. Where NOTIFY_SOCKET is unset (not run by
// systemd, or a unit not of Type=notify) nothing is sent and nothing fails;
// a build without libsystemd sends nothing and says so once, if systemd
// asks.
#pragma once

#include <optional>
#include <string>

#include "common/clock.h"

namespace orvgate::service {

class Notifier {
  public:
    // Reads the environment once: whether systemd listens, and its watchdog time.
    Notifier();

    bool Listening() const {
        return listening_;
    }
    // The unit's WatchdogSec, when systemd watches this process.
    std::optional<Clock::duration> WatchdogTime() const {
        return watchdog_;
    }

    void Ready() const;
    void Status(const std::string &text) const;
    void Watchdog() const;
    void Stopping() const;

  private:
    void Send(const std::string &state) const;

    bool listening_ = false;
    std::optional<Clock::duration> watchdog_;
};

} // namespace orvgate::service
