// Where the driver's log lines go: to the Result of the call in progress on
// the calling thread (the driver logs on the thread that called OrvMain),
// and to that call's live handler.
#pragma once

#include <vector>

#include "orvtiw/host.h"

namespace orvtiw::host {

// Routes the lines of this thread to `lines` (and `handler`, if set) for
// as long as it lives.
class LineCapture {
  public:
    LineCapture(std::vector<LogLine> &lines, const LogHandler &handler);
    ~LineCapture();
    LineCapture(const LineCapture &) = delete;
    LineCapture &operator=(const LineCapture &) = delete;

    void Take(int level, const char *text, const char *format);

  private:
    std::vector<LogLine> &lines_;
    const LogHandler &handler_;
    LineCapture *outer_;
};

} // namespace orvtiw::host
