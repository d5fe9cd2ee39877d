// The commands of the host program, run against one channel of a loaded
// driver module.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "cli.h"
#include "orvtiw/host.h"

namespace orvhost {

using orvtiw::host::ValueType;

class Session {
  public:
    Session(orvtiw::host::Channel &channel, const Options &options, std::ostream &out, std::ostream &errors);

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
    // Prints a driver line as "<level> <text>" when its level is shown.
    void ShowLine(const orvtiw::host::LogLine &line);

    orvtiw::host::Channel &channel_;
    const Options &options_;
    std::ostream &out_;
    std::ostream &err_;
    ValueType type_;
    std::int32_t lastSecondary_ = 0;
};

// Set from the interrupt handler; ends a poll after the current cycle.
void RequestStop();
bool StopRequested();

} // namespace orvhost
