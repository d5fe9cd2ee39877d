// orvgate: the TIWAY network served to Modbus TCP clients, through the
// driver module. Reads the map (or takes the transparent default), starts
// the driver thread and the server thread, and waits for signals: SIGUSR1
// prints the statistics, SIGINT and SIGTERM stop it cleanly.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "driver_thread.h"
#include "gate_log.h"
#include "gate_options.h"
#include "map_file.h"
#include "modbus_server.h"
#include "transparent.h"

#ifndef ORVGATE_BUILT_MODULE
#define ORVGATE_BUILT_MODULE ""
#endif
#ifndef ORVGATE_BUILT_KELMAR
#define ORVGATE_BUILT_KELMAR ""
#endif

namespace {

using namespace orvgate;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void PrintPlan(const std::vector<CheckedRange> &ranges, const ScanPlan &plan) {
    const ScanPlan naive = BuildScanPlan(ranges, false);
    std::printf("%zu ranges; the scan makes %zu block reads a cycle (%zu with one read per range), "
                "channels in turn:\n",
                ranges.size(), plan.order.size(), naive.order.size());
    for (const std::size_t b : plan.order) {
        const ScanBlock &block = plan.blocks[b];
        const int bytes = block.span.units * block.span.unitBytes;
        std::printf("  channel %d  %s x %d (%d byte%s)\n", block.span.channel, block.address.c_str(), block.span.units,
                    bytes, bytes == 1 ? "" : "s");
    }
}

void PrintStats(const GateStats &stats) {
    const std::string report = stats.Report(Clock::now());
    std::fputs(report.c_str(), stderr);
}

int Run(const Options &o) {
    std::optional<MapFile> map;
    std::filesystem::path mapDirectory;
    if (!o.map.empty()) {
        std::ifstream in(o.map);
        std::string error;
        map = in ? ReadMapFile(in, error) : std::nullopt;
        if (!map) {
            std::fprintf(stderr, "orvgate: %s: %s\n", o.map.c_str(), in ? error.c_str() : "cannot read it");
            return kExitUsage;
        }
        mapDirectory = std::filesystem::absolute(o.map).parent_path();
    }

    // Every thread started from here on leaves these signals to sigwait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string error;
    const std::string kelmar =
        o.kelmar.empty() ? orvtiw::host::LocateModuleFile(orvtiw::host::KelmarFileName(), ORVGATE_BUILT_KELMAR)
                         : o.kelmar;
    const std::string modulePath =
        o.module.empty() ? orvtiw::host::LocateModuleFile(orvtiw::host::ModuleFileName(), ORVGATE_BUILT_MODULE)
                         : o.module;
    const auto module = orvtiw::host::Module::Load(kelmar, modulePath, error);
    if (module == nullptr) {
        std::fprintf(stderr, "orvgate: %s\n", error.c_str());
        return kExitUsage;
    }

    Freshness freshness(o.maxAge);
    GateStats stats(freshness, Clock::now());
    JobQueue jobs;
    DriverSettings settings;
    settings.timeoutMs = o.timeoutMs;
    settings.retryInterval = o.retryInterval;
    settings.scanPeriod = o.scanPeriod;
    settings.online = !o.check;
    settings.verbose = o.verbose;
    DriverThread driver(module, settings, jobs, stats, freshness);
    const bool started = map ? driver.StartMapped(*map, mapDirectory, o.statsUnit, error)
                             : driver.StartTransparent(o.cardSegment, error);
    if (!started) {
        std::fprintf(stderr, "orvgate: %s: %s\n", map ? o.map.c_str() : "channel 1", error.c_str());
        return kExitUsage;
    }
    if (o.check) {
        PrintPlan(driver.Ranges(), driver.Plan());
        jobs.Stop();
        driver.Join();
        return kExitOk;
    }
    if (map) {
        Say("%zu range%s on %zu channel%s; the scan makes %zu block read%s a cycle", driver.Ranges().size(),
            driver.Ranges().size() == 1 ? "" : "s", map->channels.size(), map->channels.size() == 1 ? "" : "s",
            driver.Plan().order.size(), driver.Plan().order.size() == 1 ? "" : "s");
    } else {
        Say("transparent default: unit N is secondary N of channel 1 (card %04X), %s", o.cardSegment,
            o.writable && !o.readOnly ? "V and Y writable" : "read-only");
    }

    const StatsRegisters statsRegisters = [&stats] { return stats.Registers(Clock::now()); };
    std::unique_ptr<Router> router;
    if (map) {
        router = std::make_unique<MapRouter>(driver.Ranges(), driver.Plan(), driver.Cache(), freshness, o.readOnly,
                                             o.statsUnit, statsRegisters);
    } else {
        router = std::make_unique<TransparentRouter>(o.writable && !o.readOnly, o.statsUnit, statsRegisters);
    }
    ServerSettings serverSettings;
    serverSettings.host = o.listenHost;
    serverSettings.port = o.listenPort;
    serverSettings.maxClients = o.maxClients;
    serverSettings.idleTimeout = o.idleTimeout;
    ModbusServer server(serverSettings, *router, jobs, stats);
    jobs.SetNotifier([&server] { server.Wake(); });
    if (!server.Listen(error)) {
        std::fprintf(stderr, "orvgate: %s\n", error.c_str());
        jobs.Stop();
        driver.Join();
        return kExitFailed;
    }
    std::thread serverThread([&server] {
        server.Run();
        kill(getpid(), SIGTERM); // a server that ended on its own ends the program
    });

    for (;;) {
        int signal = 0;
        sigwait(&signals, &signal);
        if (signal != SIGUSR1) {
            break;
        }
        if (o.stats) {
            PrintStats(stats);
        }
    }
    Say("stopping");
    server.Stop();
    serverThread.join();
    jobs.Stop();
    driver.Join();
    if (o.stats) {
        PrintStats(stats);
    }
    Say("stopped");
    return kExitOk;
}

} // namespace

int main(int argc, char **argv) {
    const ParsedCommandLine line = ParseCommandLine(argc, argv);
    if (!line.options) {
        std::fputs(line.message.c_str(), line.exitCode == 0 ? stdout : stderr);
        return line.exitCode;
    }
    return Run(*line.options);
}
