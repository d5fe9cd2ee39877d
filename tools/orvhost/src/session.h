// The commands of the host program, run against one channel of a loaded
// driver.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>

#include "cli.h"
#include "driver.h"

namespace orvhost {

class Session {
public:
    Session(Driver &driver, const Options &options, InitFileDirectory &initDir, std::ostream &out,
            std::ostream &errors)
        : driver_(driver), options_(options), initDir_(initDir), out_(out), err_(errors), type_(options.type) {}

    // Each returns true when every driver operation it made succeeded.
    bool Info();
    bool ColdStart();
    bool Stop();
    bool Read(const std::string &address, std::int32_t count, ValueType type);
    bool Write(const std::string &address, const std::vector<std::string> &values, ValueType type);
    bool Poll(const std::vector<std::string> &addresses, ValueType type);
    bool Script(std::istream &in);

private:
    // A gate address as the driver decoded it.
    struct Gate {
        std::string text;
        AddressRecord decoded;
    };
    bool ParseAddress(const char *verb, const std::string &text, ValueType type, std::int32_t count, Gate &gate);
    TransferRecord TransferFor(const Gate &gate, std::int32_t count, void *data) const;
    bool Report(const std::string &what, std::int32_t status);
    bool RunScriptCommand(const Command &command, bool &quit);

    Driver &driver_;
    const Options &options_;
    InitFileDirectory &initDir_;
    std::ostream &out_;
    std::ostream &err_;
    ValueType type_;
    std::int32_t lastSecondary_ = 0;
};

// Set from the interrupt handler; ends a poll after the current cycle.
void RequestStop();
bool StopRequested();

} // namespace orvhost
