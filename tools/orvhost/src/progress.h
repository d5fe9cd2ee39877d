// What a channel is waiting for, on one line of a terminal that is rewritten
// in place: the adapter reset, the configuration's pauses, a warm start's
// reconnections. The phase follows the driver's own log lines; the time
// runs on a ticker of its own. Without a terminal it shows nothing and the
// driver's lines pass straight through.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "orvtiw/host.h"

namespace orvhost {

class Progress {
  public:
    // `terminal`: whether `out` is a terminal, so that the line can be
    // drawn and rewritten.
    Progress(std::ostream &out, bool terminal);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    // An operation that may wait long begins ("cold start", "warm start",
    // "reopen"); shown once it has lasted a moment.
    void Begin(const std::string &operation);
    // A line of the driver: printed above the progress line when `shown`,
    // and taken as a sign of the phase the operation is in.
    void Line(const orvtiw::host::LogLine &line, bool shown);
    // The operation returned: the progress line goes.
    void End();

    // The phase a driver line starts, or an empty text when it starts none.
    static std::string PhaseAfter(const std::string &operation, const std::string &lineText);

  private:
    void Ticker();
    void DrawLocked();
    void EraseLocked();

    using Clock = std::chrono::steady_clock;
    std::ostream &out_;
    const bool terminal_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool running_ = false;
    bool quit_ = false;
    std::string operation_;
    std::string phase_;
    Clock::time_point begun_;
    Clock::time_point phaseBegun_;
    std::size_t drawn_ = 0; // characters of the line on the terminal now
    std::thread ticker_;
};

} // namespace orvhost
