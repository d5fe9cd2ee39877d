// orvhost: a small host for the TIWAY driver module. Loads the logging
// module and the driver, starts a channel and reads, writes or polls gates.
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "cli.h"
#include "driver.h"
#include "dynlib.h"
#include "session.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

extern "C" void OnInterrupt(int) {
    orvhost::RequestStop();
}

std::string DefaultModulePath() {
    const std::string beside = orvhost::ExecutableDirectory() + orvhost::ModuleFileName();
    std::error_code ec;
    if (!orvhost::ExecutableDirectory().empty() && std::filesystem::exists(beside, ec)) {
        return beside;
    }
#ifdef ORVHOST_DEFAULT_MODULE
    return ORVHOST_DEFAULT_MODULE;
#else
    return beside;
#endif
}

int Run(const orvhost::CommandLine &line) {
    using orvhost::CommandKind;
    const orvhost::Options &options = line.options;
    const orvhost::Command &command = line.command;

    orvhost::InitFileDirectory initDir;
    std::string error;
    if (!options.initFile.empty() && !initDir.Prepare(options.initFile, options.channel, error)) {
        std::cerr << "orvhost: " << error << "\n";
        return kExitUsage;
    }

    // The script file is opened before anything else so that a wrong name
    // costs no cold start.
    std::ifstream scriptFile;
    if (command.kind == CommandKind::Script && command.file != "-") {
        scriptFile.open(command.file, std::ios::binary);
        if (!scriptFile) {
            std::cerr << "orvhost: cannot open script " << command.file << "\n";
            return kExitUsage;
        }
    }

    orvhost::Driver driver;
    driver.SetChannel(options.channel);
    const std::string kelmar = orvhost::ExecutableDirectory() + orvhost::KelmarFileName();
    const std::string module = options.module.empty() ? DefaultModulePath() : options.module;
    if (!driver.Load(kelmar, module, options.minLevel, error)) {
        std::cerr << "orvhost: " << error << "\n";
        return kExitUsage;
    }

    orvhost::Session session(driver, options, initDir, std::cout, std::cerr);
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
