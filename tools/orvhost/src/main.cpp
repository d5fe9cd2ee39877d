// orvhost: a small host for the TIWAY driver module. Loads the logging
// module and the driver, starts a channel and reads, writes or polls gates.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "cli.h"
#include "discovery.h"
#include "orvtiw/host.h"
#include "session.h"
#include "starter_map.h"
#include "terminal.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kDriverSilent = 33; // above every level the driver logs at

extern "C" void OnInterrupt(int) {
    orvhost::RequestStop();
}

#ifndef ORVHOST_BUILT_MODULE
#define ORVHOST_BUILT_MODULE ""
#endif
#ifndef ORVHOST_BUILT_KELMAR
#define ORVHOST_BUILT_KELMAR ""
#endif

// The channel's initialisation file as a map in `mapPath` names it: relative
// to the map's directory where it can be, as orvgate reads it.
std::string InitFileForMap(const orvhost::Options &options, const std::string &mapPath) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path init =
        fs::absolute(options.initFile.empty() ? orvtiw::host::InitFileName(options.channel) : options.initFile, ec);
    const fs::path relative = fs::relative(init, fs::absolute(mapPath, ec).parent_path(), ec);
    return (ec || relative.empty() ? init : relative).generic_string();
}

bool RunDiscovery(orvtiw::host::Channel &channel, orvhost::Session &session, const orvhost::Options &options,
                  const orvhost::Command &command) {
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    if (!session.ColdStart()) {
        return false;
    }
    std::cout << "cold start: " << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count()
              << " ms\n";
    orvhost::Discovered found;
    bool ok = orvhost::Discover(channel, command.secondaries, std::cout, std::cerr, found);
    ok = session.Stop() && ok;
    if (!options.starterMap.empty()) {
        std::ofstream map(options.starterMap, std::ios::binary | std::ios::trunc);
        map << orvhost::StarterMap(found, InitFileForMap(options, options.starterMap));
        map.close();
        if (!map) {
            std::cerr << "orvhost: cannot write " << options.starterMap << "\n";
            return false;
        }
        std::cout << "starter map for orvgate: " << options.starterMap << "\n";
    }
    return ok;
}

int Run(const orvhost::CommandLine &line) {
    using orvhost::CommandKind;
    const orvhost::Options &options = line.options;
    const orvhost::Command &command = line.command;

    // Files named on the command line are checked before anything else, so
    // that a wrong name costs no module load and no cold start.
    std::error_code ec;
    if (!options.initFile.empty() && !std::filesystem::is_regular_file(options.initFile, ec)) {
        std::cerr << "orvhost: initialisation file " << options.initFile << " is not a readable file\n";
        return kExitUsage;
    }
    if (command.kind == CommandKind::Discover && !options.card) {
        std::cerr << "orvhost: discover reads the network through a card; leave out --no-card\n";
        return kExitUsage;
    }
    if (!options.starterMap.empty() && (command.kind != CommandKind::Discover || options.channel < 1)) {
        std::cerr << "orvhost: --starter-map goes with discover, on a channel orvgate serves (1..999)\n";
        return kExitUsage;
    }
    std::ifstream scriptFile;
    if (command.kind == CommandKind::Script && command.file != "-") {
        scriptFile.open(command.file, std::ios::binary);
        if (!scriptFile) {
            std::cerr << "orvhost: cannot open script " << command.file << "\n";
            return kExitUsage;
        }
    }

    std::string error;
    const std::string kelmar = orvtiw::host::LocateModuleFile(orvtiw::host::KelmarFileName(), ORVHOST_BUILT_KELMAR);
    const std::string modulePath =
        options.module.empty() ? orvtiw::host::LocateModuleFile(orvtiw::host::ModuleFileName(), ORVHOST_BUILT_MODULE)
                               : options.module;
    const auto module = orvtiw::host::Module::Load(kelmar, modulePath, error);
    if (module == nullptr) {
        std::cerr << "orvhost: " << error << "\n";
        return kExitUsage;
    }
    orvtiw::host::Channel channel(module, options.channel);
    // A discovery's reads past the regions' ends are refused by design; the
    // driver's lines about them would bury the table.
    orvhost::Options shown = options;
    if (command.kind == CommandKind::Discover && !options.levelGiven) {
        shown.minLevel = kDriverSilent;
    }

    // Progress on long waits and a watch window for poll, on terminals only.
    orvhost::Progress progress(std::cerr, orvhost::IsTerminal(stderr) && orvhost::EnableCursorControl(stderr));
    const bool watch = command.kind == CommandKind::Poll && orvhost::EnableCursorControl(stdout);
    orvhost::Session session(channel, shown, std::cout, std::cerr, progress, watch);
    bool ok = true;
    switch (command.kind) {
    case CommandKind::Info:
        ok = session.Info();
        break;
    case CommandKind::Read:
    case CommandKind::Write:
    case CommandKind::Poll:
        ok = session.ColdStart();
        if (ok) {
            if (command.kind == CommandKind::Read) {
                ok = session.Read(command.addresses[0], command.count, options.type);
            } else if (command.kind == CommandKind::Write) {
                ok = session.Write(command.addresses[0], command.values, options.type);
            } else {
                std::signal(SIGINT, OnInterrupt);
                ok = session.Poll(command.addresses, options.type);
            }
            ok = session.Stop() && ok;
        }
        break;
    case CommandKind::Script:
        ok = session.Script(command.file == "-" ? std::cin : scriptFile);
        break;
    case CommandKind::Discover:
        ok = RunDiscovery(channel, session, options, command);
        break;
    default:
        std::cerr << "orvhost: nothing to do\n";
        return kExitUsage;
    }
    return ok ? kExitOk : kExitFailed;
}

} // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    const auto line = orvhost::ParseCommandLine(args, error);
    if (!line) {
        std::cerr << "orvhost: " << error << "\n";
        return kExitUsage;
    }
    if (line->command.kind == orvhost::CommandKind::Help) {
        std::cout << orvhost::UsageText();
        return kExitOk;
    }
    if (line->command.kind == orvhost::CommandKind::Version) {
        std::cout << orvhost::VersionText();
        return kExitOk;
    }
    return Run(*line);
}
