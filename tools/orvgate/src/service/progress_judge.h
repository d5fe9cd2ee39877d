// Whether every thread that serves the plant still makes progress: each card
// thread and each front end stamps a heartbeat as it goes, and a part whose
// last stamp is older than the limit is held (in a call that does not
// return, or a loop that no longer turns). The watchdog pings systemd only
// while nothing is held, so that systemd restarts a gateway that hangs
// without exiting. Pure: the time is handed in.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/heartbeat.h"

namespace orvgate::service {

struct HeldPart {
    std::string name; // "channel 2", "the Modbus server", ...
    Clock::duration since{0};
};

class ProgressJudge {
  public:
    explicit ProgressJudge(Clock::duration limit) : limit_(limit) {}

    // `beat` must outlive the judge.
    void Watch(std::string name, const Heartbeat &beat);

    // The part held longest, if any part's last beat is `limit` or more ago.
    std::optional<HeldPart> Held(Clock::time_point now) const;

    Clock::duration Limit() const {
        return limit_;
    }

  private:
    struct Part {
        std::string name;
        const Heartbeat *beat;
    };
    Clock::duration limit_;
    std::vector<Part> parts_;
};

} // namespace orvgate::service
