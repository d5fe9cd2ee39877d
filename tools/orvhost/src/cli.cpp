#include "cli.h"

#include <array>
#include <cerrno>
#include <cstdlib>

namespace orvhost {
namespace {

constexpr std::size_t kMaxPollAddresses = 64;

enum class Opt { Channel, NoCard, Timeout, Type, Level, Init, Module, Interval, Count, Help };

struct OptionSpec {
    Opt id;
    char shortName;
    const char *longName;
    bool takesValue;
};

constexpr std::array<OptionSpec, 10> kOptions{{
    {Opt::Channel, 'c', "channel", true},
    {Opt::NoCard, 'n', "no-card", false},
    {Opt::Timeout, 'o', "timeout", true},
    {Opt::Type, 't', "type", true},
    {Opt::Level, 'l', "level", true},
    {Opt::Init, 'f', "init", true},
    {Opt::Module, 'm', "module", true},
    {Opt::Interval, 'i', "interval", true},
    {Opt::Count, 'N', "count", true},
    {Opt::Help, 'h', "help", false},
}};

const OptionSpec *FindShort(char c) {
    for (const auto &known : kOptions) {
        if (known.shortName == c) {
            return &known;
        }
    }
    return nullptr;
}

const OptionSpec *FindLong(std::string_view name) {
    for (const auto &known : kOptions) {
        if (name == known.longName) {
            return &known;
        }
    }
    return nullptr;
}

// A word such as -5 or -.5 is a value to write, not an option: no option is
// named by a digit.
bool LooksLikeOption(const std::string &word) {
    if (word.size() < 2 || word[0] != '-') {
        return false;
    }
    const char c = word[1];
    return !((c >= '0' && c <= '9') || c == '.');
}

bool SetInt(std::int32_t &target, std::string_view value, std::int64_t lo, std::int64_t hi, const char *what,
            std::string &error) {
    const auto parsed = ParseBoundedInt(value, lo, hi);
    if (!parsed) {
        error = std::string(what) + " must be a whole number in " + std::to_string(lo) + ".." + std::to_string(hi) +
                ", not '" + std::string(value.substr(0, 40)) + "'";
        return false;
    }
    target = static_cast<std::int32_t>(*parsed);
    return true;
}

bool SetType(std::optional<ValueType> &target, std::string_view value, std::string &error) {
    const auto type = ParseValueType(value);
    if (!type) {
        error = "unknown value type '" + std::string(value.substr(0, 40)) +
                "' (int16, uint16, int32, uint32, float, hex, hex32, bit)";
        return false;
    }
    target = type;
    return true;
}

bool ApplyOption(const OptionSpec &known, std::string_view value, Options &options, Command &command,
                 std::string &error) {
    std::optional<ValueType> type;
    switch (known.id) {
    case Opt::Channel:
        return SetInt(options.channel, value, 0, kMaxChannel, "the channel", error);
    case Opt::NoCard:
        options.card = false;
        return true;
    case Opt::Timeout:
        return SetInt(options.timeout, value, 0, kMaxTimeoutUnits, "the time-out", error);
    case Opt::Type:
        if (!SetType(type, value, error)) {
            return false;
        }
        options.type = *type;
        return true;
    case Opt::Level:
        return SetInt(options.minLevel, value, -1000000, 1000000, "the log level", error);
    case Opt::Init:
        if (value.empty()) {
            error = "--init needs a file name";
            return false;
        }
        options.initFile = value;
        return true;
    case Opt::Module:
        if (value.empty()) {
            error = "--module needs a path";
            return false;
        }
        options.module = value;
        return true;
    case Opt::Interval:
        return SetInt(options.interval, value, 0, kMaxIntervalMs, "the interval", error);
    case Opt::Count:
        return SetInt(options.pollCount, value, 0, kMaxPollCount, "the poll count", error);
    case Opt::Help:
        command.kind = CommandKind::Help;
        return true;
    }
    return false;
}

struct CommandWord {
    const char *word;
    CommandKind kind;
    bool inProgram; // allowed as the program's command
    bool inScript;  // allowed on a script line
};

constexpr std::array<CommandWord, 15> kCommandWords{{
    {"info", CommandKind::Info, true, true},
    {"read", CommandKind::Read, true, true},
    {"write", CommandKind::Write, true, true},
    {"poll", CommandKind::Poll, true, false},
    {"script", CommandKind::Script, true, false},
    {"-", CommandKind::Script, true, false},
    {"help", CommandKind::Help, true, true},
    {"warm", CommandKind::Warm, false, true},
    {"reopen", CommandKind::Reopen, false, true},
    {"stop", CommandKind::Stop, false, true},
    {"start", CommandKind::Start, false, true},
    {"timeout", CommandKind::Timeout, false, true},
    {"type", CommandKind::Type, false, true},
    {"quit", CommandKind::Quit, false, true},
    {"exit", CommandKind::Quit, false, true},
}};

bool CountArgs(const std::vector<std::string> &args, std::size_t lo, std::size_t hi, const char *word,
               std::string &error) {
    if (args.size() < lo || args.size() > hi) {
        error = std::string("wrong number of arguments for '") + word + "' (see --help)";
        return false;
    }
    return true;
}

// Fills `command` from its word and positional arguments.
bool BuildCommand(const std::string &word, const std::vector<std::string> &args, bool script, Command &command,
                  std::string &error) {
    const CommandWord *found = nullptr;
    for (const auto &entry : kCommandWords) {
        if (word == entry.word && (script ? entry.inScript : entry.inProgram)) {
            found = &entry;
        }
    }
    if (found == nullptr) {
        error = "unknown command '" + word.substr(0, 40) + "'";
        return false;
    }
    command.kind = found->kind;
    switch (command.kind) {
    case CommandKind::Read:
        if (!CountArgs(args, 1, 2, "read", error)) {
            return false;
        }
        command.addresses = {args[0]};
        return args.size() < 2 || SetInt(command.count, args[1], 1, kMaxCount, "the count", error);
    case CommandKind::Write:
        if (!CountArgs(args, 2, 1 + static_cast<std::size_t>(kMaxCount), "write", error)) {
            return false;
        }
        command.addresses = {args[0]};
        command.values.assign(args.begin() + 1, args.end());
        return true;
    case CommandKind::Poll:
        if (!CountArgs(args, 1, kMaxPollAddresses, "poll", error)) {
            return false;
        }
        command.addresses = args;
        return true;
    case CommandKind::Script:
        if (word == "-") {
            command.file = "-";
            return CountArgs(args, 0, 0, "-", error);
        }
        if (!CountArgs(args, 0, 1, "script", error)) {
            return false;
        }
        command.file = args.empty() ? "-" : args[0];
        return true;
    case CommandKind::Warm:
        if (!CountArgs(args, 0, 1, "warm", error)) {
            return false;
        }
        command.hasNumber = !args.empty();
        return args.empty() || SetInt(command.number, args[0], 0, kMaxSecondary, "the secondary", error);
    case CommandKind::Timeout:
        if (!CountArgs(args, 1, 1, "timeout", error)) {
            return false;
        }
        command.hasNumber = true;
        return SetInt(command.number, args[0], 0, kMaxTimeoutUnits, "the time-out", error);
    case CommandKind::Type:
        return CountArgs(args, 1, 1, "type", error) && SetType(command.type, args[0], error);
    default:
        return CountArgs(args, 0, 0, found->word, error);
    }
}

} // namespace

std::optional<std::int64_t> ParseBoundedInt(std::string_view text, std::int64_t lo, std::int64_t hi) {
    if (text.empty() || text.size() > 20) {
        return std::nullopt;
    }
    std::size_t i = text[0] == '-' || text[0] == '+' ? 1 : 0;
    if (i == text.size()) {
        return std::nullopt;
    }
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
    }
    const std::string copy(text);
    errno = 0;
    const long long value = std::strtoll(copy.c_str(), nullptr, 10);
    if (errno == ERANGE || value < lo || value > hi) {
        return std::nullopt;
    }
    return value;
}

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string> &args, std::string &error) {
    CommandLine line;
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &word = args[i];
        if (optionsEnded || !LooksLikeOption(word)) {
            positional.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        if (word.rfind("--", 0) == 0) {
            const std::size_t eq = word.find('=');
            const std::string name = word.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            const OptionSpec *known = FindLong(name);
            if (known == nullptr) {
                error = "unknown option '--" + name.substr(0, 40) + "'";
                return std::nullopt;
            }
            std::string value;
            if (known->takesValue) {
                if (eq != std::string::npos) {
                    value = word.substr(eq + 1);
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                } else {
                    error = "option '--" + name + "' needs a value";
                    return std::nullopt;
                }
            } else if (eq != std::string::npos) {
                error = "option '--" + name + "' takes no value";
                return std::nullopt;
            }
            if (!ApplyOption(*known, value, line.options, line.command, error)) {
                return std::nullopt;
            }
            continue;
        }
        // Short options, which may be grouped (-nh) and take their value
        // attached (-c3) or as the next word (-c 3).
        for (std::size_t k = 1; k < word.size(); ++k) {
            const OptionSpec *known = FindShort(word[k]);
            if (known == nullptr) {
                error = std::string("unknown option '-") + word[k] + "'";
                return std::nullopt;
            }
            std::string value;
            if (known->takesValue) {
                if (k + 1 < word.size()) {
                    value = word.substr(k + 1);
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                } else {
                    error = std::string("option '-") + word[k] + "' needs a value";
                    return std::nullopt;
                }
                k = word.size();
            }
            if (!ApplyOption(*known, value, line.options, line.command, error)) {
                return std::nullopt;
            }
        }
    }
    if (line.command.kind == CommandKind::Help) {
        return line;
    }
    if (positional.empty()) {
        error = "no command given (info, read, write, poll, script); see --help";
        return std::nullopt;
    }
    const std::vector<std::string> rest(positional.begin() + 1, positional.end());
    if (!BuildCommand(positional[0], rest, false, line.command, error)) {
        return std::nullopt;
    }
    return line;
}

std::vector<std::string> SplitScriptLine(std::string_view line) {
    std::vector<std::string> words;
    std::string current;
    for (const char c : line) {
        if (c == '#') {
            break;
        }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!current.empty()) {
                words.push_back(std::move(current));
                current.clear();
            }
        } else {
            current += c;
        }
    }
    if (!current.empty()) {
        words.push_back(std::move(current));
    }
    return words;
}

std::optional<Command> ParseScriptCommand(const std::vector<std::string> &words, std::string &error) {
    Command command;
    if (words.empty()) {
        return command;
    }
    std::vector<std::string> args;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string &word = words[i];
        if (!LooksLikeOption(word)) {
            args.push_back(word);
            continue;
        }
        std::string value;
        if (word == "-t" || word == "--type") {
            if (i + 1 >= words.size()) {
                error = "option '" + word + "' needs a value";
                return std::nullopt;
            }
            value = words[++i];
        } else if (word.rfind("--type=", 0) == 0) {
            value = word.substr(7);
        } else if (word.rfind("-t", 0) == 0) {
            value = word.substr(2);
        } else {
            error = "only -t/--type may be given on a script line, not '" + word.substr(0, 40) + "'";
            return std::nullopt;
        }
        if (!SetType(command.type, value, error)) {
            return std::nullopt;
        }
    }
    std::optional<ValueType> lineType = command.type;
    if (!BuildCommand(words[0], args, true, command, error)) {
        return std::nullopt;
    }
    if (command.kind != CommandKind::Type) {
        command.type = lineType;
    }
    return command;
}

const char *UsageText() {
    return "usage: orvhost [options] COMMAND [arguments]\n"
           "\n"
           "commands:\n"
           "  info                      driver name, banner and instance size\n"
           "  read ADDRESS [COUNT]      read one gate, or COUNT elements (1..256) from ADDRESS\n"
           "  write ADDRESS VALUE...    write one gate, or a block of the values given\n"
           "  poll ADDRESS...           read the gates every --interval ms until --count cycles or Ctrl-C\n"
           "  script [FILE]             run commands line by line on one started channel (- or none: stdin)\n"
           "  -                         same as 'script -'\n"
           "\n"
           "options:\n"
           "  -c, --channel N      channel number 0..999 (default 1); the driver reads OrvTiwNN.int\n"
           "  -n, --no-card        start the channel without an adapter card\n"
           "  -o, --timeout N      reply time-out in 10 ms units (default 100; the driver uses at least 100)\n"
           "  -t, --type T         int16 (default), uint16, int32, uint32, float, hex, hex32, bit\n"
           "  -l, --level N        show driver log lines of level N and above (default 0: all;\n"
           "                       8 configuration, 32 start-up and errors; 33 silences the driver)\n"
           "  -f, --init FILE      use FILE as the channel's initialisation file\n"
           "  -m, --module PATH    driver module to load (default: the one beside orvhost, else the build's)\n"
           "  -i, --interval MS    poll period in ms, 0..3600000 (default 1000)\n"
           "  -N, --count N        poll cycles (default 0: until Ctrl-C)\n"
           "  -h, --help           this text\n"
           "\n"
           "exit status: 0 all operations succeeded, 1 an operation failed, 2 usage or loading error\n";
}

const char *ScriptHelpText() {
    return "script commands (one per line, # starts a comment; -t TYPE may follow any command):\n"
           "  read ADDRESS [COUNT]     write ADDRESS VALUE...\n"
           "  warm [SECONDARY]         warm start (default: the secondary of the last address used)\n"
           "  reopen                   close and reopen the link\n"
           "  stop                     close the link\n"
           "  start                    cold start the channel again\n"
           "  timeout N                reply time-out in 10 ms units (no lower limit here)\n"
           "  type TYPE                value type for the following commands\n"
           "  info | help | quit\n";
}

} // namespace orvhost
