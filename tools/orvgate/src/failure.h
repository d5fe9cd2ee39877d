// What a failed driver call says about the network, judged by the lines the
// driver logged during it: the card stopped answering (the whole channel is
// lost), a secondary did (its ranges are lost), or the controller refused
// one request (that block alone fails). And when a lost channel, secondary
// or block is tried again.
#pragma once

#include <cstdint>
#include <string>

#include "orvtiw/host.h"
#include "value_cache.h"

namespace orvgate {

enum class FailureScope {
    Link,      // the card: no acknowledge, no reply, a previous command never cleared, no link
    Secondary, // the adapter reported an error for the secondary (MHIU error), or could not connect it
    Block      // the controller refused the request (primitive error), or anything else
};

// The kinds the statistics registers carry, with their numbers.
enum class ErrorKind : std::uint16_t { None = 0, Link = 1, Adapter = 2, Controller = 3, Other = 4 };

struct Failure {
    FailureScope scope = FailureScope::Block;
    ErrorKind kind = ErrorKind::Other;
    std::uint16_t code = 0; // the MHIU or primitive error code
    std::int32_t status = 0;
    std::string text; // the first error line, without its "ORVnn: TIW: " prefix
};

Failure Classify(const orvtiw::host::Result &result);

// Tries after a failure: the first after `first`, each later one after
// twice the wait before, up to `most`.
class RetrySchedule {
  public:
    RetrySchedule() = default;
    RetrySchedule(Clock::duration first, Clock::duration most) : first_(first), most_(most) {}
    void Failed(Clock::time_point now);
    void Succeeded();
    bool Due(Clock::time_point now) const {
        return failures_ == 0 || now >= next_;
    }
    Clock::time_point Next() const {
        return next_;
    }
    int Failures() const {
        return failures_;
    }

  private:
    Clock::duration first_ = std::chrono::seconds(1);
    Clock::duration most_ = std::chrono::seconds(30);
    Clock::duration wait_{0};
    Clock::time_point next_{};
    int failures_ = 0;
};

} // namespace orvgate
