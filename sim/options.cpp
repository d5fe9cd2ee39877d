#include "options.h"

#include <memory>

#include <CLI/CLI.hpp>

#include "control_commands.h"
#include "text_fields.h"

using orvtiw::text::ParseHex;
using orvtiw::text::ParseNumber;

#ifndef ORVTIW_VERSION
#error "ORVTIW_VERSION names the project's version"
#endif

namespace tiwaysim {
namespace {

// Slower polling than this would answer the driver late; faster would burn
// the processor for nothing.
constexpr std::uint32_t kMinPollMicros = 10;
constexpr std::uint32_t kMaxPollMicros = 10000;

// A number within [min, max], decimal or 0x hex; the message names the range.
void Bounded(CLI::App &app, const char *name, std::uint32_t &target, std::uint32_t min, std::uint32_t max,
             const char *unit, const char *typeName, const std::string &description) {
    auto apply = [&target, name, min, max, unit](const std::string &text) {
        const auto v = ParseNumber(text, max);
        if (!v || *v < min) {
            throw CLI::ValidationError(std::string(name) + " takes " + std::to_string(min) + ".." +
                                       std::to_string(max) + unit);
        }
        target = *v;
    };
    app.add_option_function<std::string>(name, apply, description)->type_name(typeName);
}

// The options, writing into `o` as CLI11 applies them.
std::unique_ptr<CLI::App> MakeParser(Options &o) {
    auto app = std::make_unique<CLI::App>(
        "Serves simulated host-adapter cards (one per segment, window at SEGMENT*16, 0x800 bytes)\n"
        "in the memory device file until SIGINT or SIGTERM.",
        "tiwaysim");
    app->get_formatter()->column_width(26);
    app->footer("Client mode: tiwaysim --send SOCKET \"COMMAND\"\n"
                "\n"
                "The network description, the control commands and the line model: see sim/README.md.");
    app->set_help_flag();
    // Read left to right as typed: an option given twice keeps its last value,
    // and a flag takes no value.
    app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)->disable_flag_override();

    app->add_option("--device", o.device, "memory device file (default: the one this build's driver opens)")
        ->type_name("PATH");
    app->add_option_function<std::string>(
           "--card",
           [&o](const std::string &text) {
               const auto seg = ParseHex(text, 0xFFFF);
               if (!seg) {
                   throw CLI::ValidationError("--card takes a hexadecimal segment such as C800, not '" + text + "'");
               }
               o.cards.push_back(static_cast<std::uint16_t>(*seg));
           },
           "serve a card whose window lies at SEGMENT*16 (hexadecimal);\nrepeatable")
        ->type_name("SEGMENT")
        ->trigger_on_parse(); // once for every --card, in the order given
    app->add_option("--config", o.config, "network description")->type_name("FILE");
    app->add_option("--memory", o.memory, "controller memory kept across runs")->type_name("FILE");
    app->add_option("--control", o.control, "Unix socket that takes control commands")->type_name("SOCKET");
    app->add_option("--ready-file", o.readyFile, "written (holding the process id) once serving")->type_name("PATH");
    app->add_flag("--trace", o.trace, "one decoded line per exchange and per reset");
    Bounded(*app, "--poll-us", o.pollMicros, kMinPollMicros, kMaxPollMicros, "", "N",
            "pause between two looks at the mailboxes, 10..10000 us (default 100)");
    app->add_flag("--remove-device", o.removeDevice, "delete the device file at exit");
    app->add_flag("--configured", o.configured, "every adapter comes up with its network configuration set");
    Bounded(*app, "--line-rate", o.lineRate, kMinLineRate, kMaxLineRate, " bits per second", "BPS",
            "model the line behind every card at BPS bits per second,\n300..10000000 (default: no line)");
    app->add_option_function<std::vector<std::string>>(
           "--send",
           [&o](const std::vector<std::string> &words) {
               // type_size(2) makes CLI11 refuse a lone word; indexing past it
               // would be undefined, so it is checked here all the same.
               if (words.size() != 2) {
                   throw CLI::ValidationError("--send needs a control path and a command");
               }
               o.sendPath = words[0];
               o.sendCommand = words[1];
           },
           "client mode: send one control command to a running simulator\nand print its answer")
        ->type_name("SOCKET COMMAND")
        ->type_size(2)
        ->expected(1)
        ->allow_extra_args(false);
    app->add_flag("-h,--help", o.help, "print this help and exit");
    app->add_flag("--version", o.version, "print the version and exit");
    return app;
}

} // namespace

bool ParseOptions(int argc, const char *const *argv, const std::string &defaultDevice, Options &o, std::string &error) {
    o.device = defaultDevice;
    try {
        MakeParser(o)->parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        error = e.what();
        return false;
    }
    if (o.device.empty()) {
        error = "--device needs a path";
        return false;
    }
    return true;
}

const char *Usage() {
    static const std::string text = [] {
        Options unused;
        return MakeParser(unused)->help();
    }();
    return text.c_str();
}

const char *Version() {
    return "tiwaysim " ORVTIW_VERSION "\n";
}

} // namespace tiwaysim
