// What the service says of its channels, and when it gives up on them: the
// STATUS= text systemd shows (which channels answer, which are lost and
// why), and a verdict for a gateway none of whose channels has answered
// since it started. Such a gateway serves nothing (a wrong device file, a
// card not there, a user the device refuses), so after the start-up limit
// it exits as a failure rather than look healthy. Once a channel answered,
// later losses are the plant's and are waited out. Pure: the time is
// handed in.
#pragma once

#include <string>
#include <vector>

#include "common/clock.h"
#include "scan/core_stats.h"

namespace orvgate::service {

class ChannelWatch {
  public:
    // `limit`: how long after `started` a channel must have answered (0: no limit).
    ChannelWatch(Clock::duration limit, Clock::time_point started) : limit_(limit), started_(started) {}

    struct Verdict {
        std::string status; // for STATUS= and the log
        bool giveUp = false;
    };
    Verdict Look(const std::vector<CardStatus> &cards, Clock::time_point now);

    bool Answered() const {
        return answered_;
    }

  private:
    Clock::duration limit_;
    Clock::time_point started_;
    bool answered_ = false;
};

} // namespace orvgate::service
