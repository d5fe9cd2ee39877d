// The commands of the host program, run against one channel of a loaded
// driver module.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli.h"
#include "orvtiw/host.h"
#include "progress.h"

namespace orvhost {

using orvtiw::host::ValueType;

class Session {
  public:
    // `progress` draws what long waits wait for, and takes the driver's
    // lines; `watch`: poll rewrites its values in place on a terminal.
    Session(orvtiw::host::Channel &channel, const Options &options, std::ostream &out, std::ostream &errors,
            Progress &progress, bool watch);

    // Each returns true when every driver operation it made succeeded.
    bool Info();
    bool ColdStart();
    bool Stop();
    bool Read(const std::string &address, std::int32_t count, ValueType type);
    bool Write(const std::string &address, const std::vector<std::string> &values, ValueType type);
    bool Poll(const std::vector<std::string> &addresses, ValueType type);
    bool Script(std::istream &in);

  private:
    bool Check(const char *verb, const std::string &text, ValueType type, std::int32_t count, orvtiw::host::Gate &gate);
    bool Report(const std::string &what, const orvtiw::host::Result &result);
    bool RunScriptCommand(const Command &command, bool &quit);
    // An operation that may wait long, with its progress shown.
    orvtiw::host::Result Waiting(const char *what, const std::function<orvtiw::host::Result()> &operation);
    void PrintPollCycle(std::int64_t cycle, const std::vector<std::string> &addresses,
                        const std::vector<std::string> &values, bool first);

    orvtiw::host::Channel &channel_;
    const Options &options_;
    std::ostream &out_;
    std::ostream &err_;
    Progress &progress_;
    const bool watch_;
    // The system timer at 1 ms while the channel is open (Windows).
    std::optional<orvtiw::host::FineTimer> fineTimer_;
    ValueType type_;
    std::int32_t lastSecondary_ = 0;
};

// Set from the interrupt handler; ends a poll after the current cycle.
void RequestStop();
bool StopRequested();

} // namespace orvhost
