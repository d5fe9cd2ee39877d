// Command line and script line parsing of the host program. Pure: no I/O,
// no driver.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orvtiw/host_values.h"

namespace orvhost {

using orvtiw::host::kMaxCount;
using orvtiw::host::ParseValueType;
using orvtiw::host::ValueType;

enum class CommandKind {
    None,
    Help,
    Version,
    Info,
    Read,
    Write,
    Poll,
    Script,
    Discover,
    Warm,
    Reopen,
    Stop,
    Start,
    Timeout,
    Type,
    Quit
};

struct Command {
    CommandKind kind = CommandKind::None;
    std::vector<std::string> addresses; // read/write: one; poll: one or more
    std::int32_t count = 1;             // read: values to read
    std::vector<std::string> values;    // write: the values as typed
    std::string file;                   // script: path, or "-" for standard input
    std::int32_t number = 0;            // warm: secondary; timeout: 10 ms units
    bool hasNumber = false;
    std::optional<ValueType> type; // set by -t on the line, or by the `type` command
    std::vector<int> secondaries;  // discover: those to probe, in order (default 1..31)
};

struct Options {
    std::int32_t channel = 1;
    bool card = true;
    std::int32_t timeout = 100; // reply time-out in 10 ms units
    ValueType type = ValueType::Int16;
    std::int32_t minLevel = 0; // driver lines with a lower level are not shown
    std::string initFile;
    std::string module;
    std::int32_t interval = 1000; // poll period in ms
    std::int32_t pollCount = 0;   // poll cycles; 0 = until interrupted
    bool levelGiven = false;      // -l was given (discover is quiet otherwise)
    std::string starterMap;       // discover: write a starter map for orvgate here
};

struct CommandLine {
    Options options;
    Command command;
};

// Limits of the numeric options, checked while parsing.
inline constexpr std::int32_t kMaxChannel = 999;
inline constexpr std::int32_t kMaxTimeoutUnits = 214748364; // ten times it must fit in 32 bits
inline constexpr std::int32_t kMaxIntervalMs = 3600000;
inline constexpr std::int32_t kMaxPollCount = 100000000;
inline constexpr std::int32_t kMaxSecondary = 31;

// A whole decimal number in [lo, hi], nothing else on the text.
std::optional<std::int64_t> ParseBoundedInt(std::string_view text, std::int64_t lo, std::int64_t hi);

// Parses the program's arguments (without the program name). On failure
// returns nothing and sets `error`.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string> &args, std::string &error);

// Splits a script line into words at blanks and tabs; '#' starts a comment.
std::vector<std::string> SplitScriptLine(std::string_view line);

// Parses the words of one script line; only -t/--type is accepted as an
// option there. An empty line gives CommandKind::None.
std::optional<Command> ParseScriptCommand(const std::vector<std::string> &words, std::string &error);

const char *UsageText();
const char *VersionText(); // "orvhost 7.0": name and version, as help2man reads them
const char *ScriptHelpText();

} // namespace orvhost
