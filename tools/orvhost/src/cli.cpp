#include "cli.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include <CLI/CLI.hpp>

#ifndef ORVTIW_VERSION
#error "ORVTIW_VERSION names the project's version"
#endif

namespace orvhost {
namespace {

constexpr std::size_t kMaxPollAddresses = 64;

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

// The program's options. Each writes into `line` when CLI11 applies it; a
// bad value is thrown as CLI11's validation error with our own wording.
void DefineOptions(CLI::App &app, CommandLine &line) {
    Options &o = line.options;
    auto number = [&app](const char *names, std::int32_t &target, std::int64_t lo, std::int64_t hi, const char *what,
                         const char *description) {
        auto apply = [&target, lo, hi, what](const std::string &value) {
            std::string error;
            if (!SetInt(target, value, lo, hi, what, error)) {
                throw CLI::ValidationError(error);
            }
        };
        return app.add_option_function<std::string>(names, apply, description)->type_name("N");
    };
    auto text = [&app](const char *names, std::string &target, const char *missing, const char *description) {
        auto apply = [&target, missing](const std::string &value) {
            if (value.empty()) {
                throw CLI::ValidationError(missing);
            }
            target = value;
        };
        return app.add_option_function<std::string>(names, apply, description);
    };

    number("-c,--channel", o.channel, 0, kMaxChannel, "the channel",
           "channel number 0..999 (default 1); the driver reads OrvTiwNN.int");
    app.add_flag_callback(
        "-n,--no-card", [&o] { o.card = false; }, "start the channel without an adapter card");
    number("-o,--timeout", o.timeout, 0, kMaxTimeoutUnits, "the time-out",
           "reply time-out in 10 ms units, 0..214748364 (default 100;\nthe driver uses at least 100)");
    app.add_option_function<std::string>(
           "-t,--type",
           [&o](const std::string &value) {
               std::optional<ValueType> type;
               std::string error;
               if (!SetType(type, value, error)) {
                   throw CLI::ValidationError(error);
               }
               o.type = *type;
           },
           "int16 (default), uint16, int32, uint32, float, hex, hex32, bit")
        ->type_name("T");
    number("-l,--level", o.minLevel, -1000000, 1000000, "the log level",
           "show driver log lines of level N and above (default 0: all,\n"
           "but 33 for discover; 8 configuration, 32 start-up and errors;\n"
           "33 silences the driver)")
        ->each([&o](const std::string &) { o.levelGiven = true; });
    text("-f,--init", o.initFile, "--init needs a file name", "use FILE as the channel's initialisation file")
        ->type_name("FILE");
    text("-m,--module", o.module, "--module needs a path",
         "driver module to load (default: the one beside orvhost,\nelse the build's)")
        ->type_name("PATH");
    number("-i,--interval", o.interval, 0, kMaxIntervalMs, "the interval",
           "poll period in ms, 0..3600000 (default 1000)")
        ->type_name("MS");
    number("-N,--count", o.pollCount, 0, kMaxPollCount, "the poll count",
           "poll cycles, 0..100000000 (default 0: until Ctrl-C)");
    text("--starter-map", o.starterMap, "--starter-map needs a file name",
         "discover: also write a starter map for orvgate to FILE")
        ->type_name("FILE");
    app.add_flag_callback(
        "-h,--help", [&line] { line.command.kind = CommandKind::Help; }, "print this help and exit");
    app.add_flag_callback(
        "--version", [&line] { line.command.kind = CommandKind::Version; }, "print the version and exit");
}

// CLI11 names positionals one by one; ours are a command and its words.
class UsageFormatter : public CLI::Formatter {
  public:
    std::string make_usage(const CLI::App *, std::string name) const override {
        return "Usage: " + name + " [OPTIONS] COMMAND [ARGUMENTS]\n";
    }
};

constexpr char kFooter[] = "Commands:\n"
                           "  info                    driver name, instance size, device file and banner\n"
                           "  read ADDRESS [COUNT]    read one gate, or COUNT elements (1..256) from ADDRESS\n"
                           "  write ADDRESS VALUE...  write one gate, or a block of the values given\n"
                           "  poll ADDRESS...         read the gates every --interval ms until --count cycles\n"
                           "                          or Ctrl-C\n"
                           "  script [FILE]           run commands line by line on one started channel\n"
                           "                          (- or none: standard input)\n"
                           "  -                       same as 'script -'\n"
                           "  discover [SECONDARY...] which secondaries (default 1..31) answer, and the\n"
                           "                          size of each region in each\n"
                           "\n"
                           "Options may stand before or after the command; short ones may be grouped\n"
                           "(-nc3). A word such as -5 is a value, not an option; -- ends the options.\n"
                           "\n"
                           "Exit status:\n"
                           "  0 all operations succeeded, 1 an operation failed, 2 usage or loading error";

// A parser for the program's command line, writing into `line`.
std::unique_ptr<CLI::App> MakeParser(CommandLine &line) {
    auto app = std::make_unique<CLI::App>(
        "Loads the TIWAY driver module, starts a channel and reads, writes or polls its gates,\n"
        "or discovers its network.",
        "orvhost");
    app->formatter(std::make_shared<UsageFormatter>());
    app->get_formatter()->column_width(26);
    app->footer(kFooter);
    app->set_help_flag(); // ours only sets the command, so parsing stays free of exceptions for help
    // Read left to right as typed: an option given twice keeps its last value,
    // and a flag takes no value (--no-card=1 is a mistake, not a yes).
    app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)->disable_flag_override();
    // The command and its arguments stay over, in their order, together with
    // words that look like options none of ours is (see ParseCommandLine).
    app->allow_extras();
    DefineOptions(*app, line);
    return app;
}

struct CommandWord {
    const char *word;
    CommandKind kind;
    bool inProgram; // allowed as the program's command
    bool inScript;  // allowed on a script line
};

constexpr std::array<CommandWord, 16> kCommandWords{{
    {"info", CommandKind::Info, true, true},
    {"read", CommandKind::Read, true, true},
    {"write", CommandKind::Write, true, true},
    {"poll", CommandKind::Poll, true, false},
    {"script", CommandKind::Script, true, false},
    {"-", CommandKind::Script, true, false},
    {"discover", CommandKind::Discover, true, false},
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
    case CommandKind::Discover:
        if (!CountArgs(args, 0, kMaxSecondary, "discover", error)) {
            return false;
        }
        for (const std::string &arg : args) {
            std::int32_t secondary = 0;
            if (!SetInt(secondary, arg, 1, kMaxSecondary, "a secondary", error)) {
                return false;
            }
            command.secondaries.push_back(secondary);
        }
        if (args.empty()) {
            for (int s = 1; s <= kMaxSecondary; ++s) {
                command.secondaries.push_back(s);
            }
        }
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
    const auto app = MakeParser(line);
    std::vector<std::string> reversed(args.rbegin(), args.rend()); // CLI11 takes them from the back
    try {
        app->parse(reversed);
    } catch (const CLI::ParseError &e) {
        error = e.what();
        return std::nullopt;
    }
    if (line.command.kind == CommandKind::Help || line.command.kind == CommandKind::Version) {
        return line;
    }
    // CLI11 classes -5 as a value, but -.5 as an option named '.', which it
    // leaves over unknown; the first "--" it leaves over too, as a marker.
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (const std::string &word : app->remaining()) {
        if (!optionsEnded && word == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && LooksLikeOption(word)) {
            error = "unknown option '" + word.substr(0, std::min<std::size_t>(word.find('='), 40)) + "'";
            return std::nullopt;
        } else {
            positional.push_back(word);
        }
    }
    if (positional.empty()) {
        error = "no command given (info, read, write, poll, script, discover); see --help";
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
    static const std::string text = [] {
        CommandLine unused;
        return MakeParser(unused)->help();
    }();
    return text.c_str();
}

const char *VersionText() {
    return "orvhost " ORVTIW_VERSION "\n";
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
