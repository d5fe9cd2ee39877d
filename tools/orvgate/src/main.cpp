// orvgate: the TIWAY network served to Modbus TCP clients and published to
// an MQTT broker, through the driver module. Reads the map (or takes the
// transparent default), starts the core (a driver thread per card, each on
// its own copy of the module), then its front ends: the Modbus server's
// thread, the Sparkplug B edge node's and, with --http, the web view's
// (which serves /metrics too); and waits for signals: SIGUSR1
// prints the statistics; SIGINT, SIGTERM and SIGHUP stop it cleanly,
// clients first.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "check_tables.h"
#include "common/gate_log.h"
#include "gate_options.h"
#include "map/map_file.h"
#include "modbus/modbus_server.h"
#include "modbus/stats_registers.h"
#include "modbus/transparent.h"
#include "scan/class_plan.h"
#include "scan/core_report.h"
#include "scan/gateway.h"
#include "service/notifier.h"
#include "service/service_monitor.h"
#include "service_wiring.h"

#if defined(ORVGATE_HAVE_MQTT)
#include "mqtt/core_source.h"
#include "mqtt/edge_node.h"
#endif
#if defined(ORVGATE_HAVE_WEB)
#include "web/web_server.h"
#endif

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
// Longest the server waits for the cards' first cycles before it listens,
// so that its first clients find values rather than exceptions.
constexpr auto kFirstCycleWait = std::chrono::seconds(30);

void PrintPlan(const std::vector<CheckedRange> &ranges, const ScanPlan &plan, const std::vector<ScanClass> &classes) {
    const ScanPlan naive = BuildScanPlan(ranges, false);
    std::printf("%zu ranges; the scan makes %zu block reads a cycle (%zu with one read per range), "
                "each channel's by its own card thread:\n",
                ranges.size(), plan.order.size(), naive.order.size());
    for (const std::size_t b : plan.order) {
        const ScanBlock &block = plan.blocks[b];
        const int bytes = block.span.units * block.span.unitBytes;
        std::printf("  channel %d  %s x %d (%d byte%s)%s%s\n", block.span.channel, block.address.c_str(),
                    block.span.units, bytes, bytes == 1 ? "" : "s", classes.size() > 1 ? ", class " : "",
                    classes.size() > 1 ? classes.at(block.scanClass).name.c_str() : "");
    }
    std::fputs(ClassPlanReport(plan, classes, kAssumedLineRate).c_str(), stdout);
}

void PrintStats(const Gateway &core, const ModbusCounters &server, Clock::time_point started, const std::string &more) {
    const Clock::time_point now = Clock::now();
    std::string report = "orvgate: statistics after " + std::to_string(static_cast<long>(Seconds(now - started))) +
                         " s\n" + CoreReport(core, now);
    report += ClientsReport(server);
    report += more;
    std::fputs(report.c_str(), stderr);
}

#if defined(ORVGATE_HAVE_MQTT)
mqtt::EdgeSettings EdgeSettingsOf(const Options &o) {
    mqtt::EdgeSettings s;
    s.host = o.mqttHost;
    s.port = o.mqttPort;
    s.groupId = o.mqttGroup;
    s.edgeNodeId = o.mqttNode;
    s.username = o.mqttUser;
    s.passwordFile = o.mqttPasswordFile;
    s.caFile = o.mqttCa;
    s.certFile = o.mqttCert;
    s.keyFile = o.mqttKey;
    s.primaryHostId = o.mqttPrimaryHost;
    s.storeSize = o.mqttStore;
    s.commandMaxAgeMs = static_cast<std::uint32_t>(o.mqttCommandMaxAgeS) * 1000u;
    s.uint32InLong = o.mqttUint32InLong;
    s = mqtt::Resolved(s);
    s.stateFile = o.mqttState.empty() ? "orvgate-" + s.groupId + "-" + s.edgeNodeId + ".bdseq" : o.mqttState;
    return s;
}

std::string EdgeReport(const mqtt::EdgeNode &node) {
    const mqtt::EdgeCounters c = node.Counters();
    char line[384];
    std::snprintf(line, sizeof line,
                  "  mqtt: %" PRIu64 " connections, %" PRIu64 " births; commands: %" PRIu64 " applied, %" PRIu64
                  " refused, %" PRIu64 " failed, %" PRIu64 " rejected; %" PRIu64
                  " changes held for the broker, %" PRIu64 " dropped, %" PRIu64 " not taken by the connection\n",
                  c.connections, c.births, c.commandsApplied, c.commandsRefused, c.commandsFailed, c.commandsRejected,
                  c.storeHeld, c.storeDropped, c.publishFailed);
    return line;
}
#endif

#if defined(ORVGATE_HAVE_WEB) && defined(ORVGATE_HAVE_MQTT)
const char *PhaseName(mqtt::EdgeSession::Phase phase) {
    switch (phase) {
    case mqtt::EdgeSession::Phase::Idle:
        return "not started";
    case mqtt::EdgeSession::Phase::Waiting:
        return "waiting to connect again";
    case mqtt::EdgeSession::Phase::Connecting:
        return "connecting";
    case mqtt::EdgeSession::Phase::Subscribing:
        return "subscribing";
    case mqtt::EdgeSession::Phase::WaitingForHost:
        return "waiting for the primary host";
    case mqtt::EdgeSession::Phase::Online:
        return "online";
    case mqtt::EdgeSession::Phase::Stopping:
        return "stopping: waiting for the commands under way";
    case mqtt::EdgeSession::Phase::Stopped:
        return "stopped";
    }
    return "?";
}

web::MqttFigures MqttFiguresOf(const mqtt::EdgeNode &node) {
    const mqtt::EdgeCounters c = node.Counters();
    web::MqttFigures f;
    f.phase = PhaseName(node.Phase());
    f.online = node.Phase() == mqtt::EdgeSession::Phase::Online;
    f.connections = c.connections;
    f.births = c.births;
    f.commandsApplied = c.commandsApplied;
    f.commandsRefused = c.commandsRefused;
    f.commandsFailed = c.commandsFailed;
    f.commandsRejected = c.commandsRejected;
    f.storeHeld = c.storeHeld;
    f.storeDropped = c.storeDropped;
    return f;
}
#endif

#if defined(ORVGATE_HAVE_WEB)
web::ModbusFigures ModbusFiguresOf(const ModbusCounters &c) {
    web::ModbusFigures f;
    f.connected = c.connected.load();
    f.accepted = c.accepted.load();
    f.refused = c.refused.load();
    f.gaveWay = c.gaveWay.load();
    f.malformed = c.malformed.load();
    f.idle = c.idle.load();
    f.stalled = c.stalled.load();
    f.answered = c.answered.load();
    f.exceptions = c.exceptions.load();
    for (std::size_t code = 0; code < f.exceptionsByCode.size(); ++code) {
        f.exceptionsByCode[code] = c.exceptionsByCode[code].load();
    }
    return f;
}
#endif

// Reads the map, or takes the transparent default; false with the message printed.
bool ReadMap(const Options &o, std::optional<MapFile> &map, std::filesystem::path &mapDirectory) {
    if (o.map.empty()) {
        return true;
    }
    std::ifstream in(o.map);
    std::string error;
    map = in ? ReadMapFile(in, error) : std::nullopt;
    if (!map) {
        std::fprintf(stderr, "orvgate: %s: %s\n", o.map.c_str(), in ? error.c_str() : "cannot read it");
        return false;
    }
    mapDirectory = std::filesystem::absolute(o.map).parent_path();
    return true;
}

GatewaySettings CoreSettingsOf(const Options &o) {
    GatewaySettings settings;
    settings.timeoutMs = o.timeoutMs;
    settings.retry.first = o.retryInterval;
    settings.retry.most = o.retryMost;
    settings.scanPeriod = o.scanPeriod;
    settings.maxAge = o.maxAge;
    settings.writeTimeout = o.writeTimeout;
    settings.online = !o.check;
    settings.verbose = o.verbose;
    settings.readOnly = o.readOnly;
    return settings;
}

int Run(const Options &o) {
    SetUpLog(o.verbose);
    std::optional<MapFile> map;
    std::filesystem::path mapDirectory;
    if (!ReadMap(o, map, mapDirectory)) {
        return kExitUsage;
    }

    // Every thread started from here on leaves these signals to sigwait below.
    sigset_t signals;
    sigemptyset(&signals);
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) {
        sigaddset(&signals, s);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const std::string kelmar =
        o.kelmar.empty() ? orvtiw::host::LocateModuleFile(orvtiw::host::KelmarFileName(), ORVGATE_BUILT_KELMAR)
                         : o.kelmar;
    const std::string modulePath =
        o.module.empty() ? orvtiw::host::LocateModuleFile(orvtiw::host::ModuleFileName(), ORVGATE_BUILT_MODULE)
                         : o.module;
    // A copy of the module per channel: no card's calls wait for another's.
    const ModuleLoader loader = [kelmar, modulePath](std::string &error) {
        return orvtiw::host::Module::Load(kelmar, modulePath, error, orvtiw::host::Loading::PrivateCopy);
    };

    const service::Notifier notifier;
    service::ServiceMonitor monitor(notifier, o.startupTimeout, o.timeoutMs);
    Gateway core(loader, CoreSettingsOf(o));
    std::string error;
    notifier.Status("starting the channels");
    const bool started = map ? core.StartMapped(*map, mapDirectory, o.statsUnit, error)
                             : core.StartTransparent(kTransparentChannel, TransparentInitText(o.cardSegment), error);
    if (!started) {
        std::fprintf(stderr, "orvgate: %s: %s\n", map ? o.map.c_str() : "channel 1", error.c_str());
        return kExitUsage;
    }
    const Clock::time_point startedAt = Clock::now();
    if (o.check) {
        PrintPlan(core.Ranges(), core.Plan(), core.Classes());
        PrintCheckTables(core, map ? &*map : nullptr);
        core.Stop();
        return kExitOk;
    }
    if (map) {
        Say("%zu range%s on %zu channel%s; the scan makes %zu block read%s a cycle", core.Ranges().size(),
            core.Ranges().size() == 1 ? "" : "s", map->channels.size(), map->channels.size() == 1 ? "" : "s",
            core.Plan().order.size(), core.Plan().order.size() == 1 ? "" : "s");
    } else {
        Say("transparent default: unit N is secondary N of channel 1 (card %04X), %s", o.cardSegment,
            o.writable && !o.readOnly ? "V and Y writable" : "read-only");
    }

    // Everything is wired here, before any thread starts: no thread ever
    // sees a part of another that is still being set.
    const ModbusCounters *counters = nullptr;
    const StatsRegisters statsRegisters = [&core, &counters, startedAt] {
        return StatisticsRegisters(SourcesOf(core, *counters, startedAt), Clock::now());
    };
    std::unique_ptr<Router> router;
    if (map) {
        router = std::make_unique<MapRouter>(core.Values(), o.statsUnit, statsRegisters);
    } else {
        router = std::make_unique<TransparentRouter>(o.writable && !o.readOnly, o.statsUnit, statsRegisters);
    }
    ServerSettings serverSettings;
    serverSettings.host = o.listenHost;
    serverSettings.port = o.listenPort;
    serverSettings.maxClients = o.maxClients;
    serverSettings.maxClientsPerPeer = o.maxClientsPerPeer;
    serverSettings.idleTimeout = o.idleTimeout;
    serverSettings.keepActive = o.keepActive;
    serverSettings.allow = o.allow;
    ModbusServer server(serverSettings, *router, [&core](std::shared_ptr<Job> job) { core.Submit(std::move(job)); });
    counters = &server.Counters();
#if defined(ORVGATE_HAVE_MQTT)
    std::unique_ptr<mqtt::CoreSource> source;
    std::unique_ptr<mqtt::EdgeNode> edge;
    if (o.mqtt) {
        source = std::make_unique<mqtt::CoreSource>(core, *map);
        source->CountModbusClients([counters] { return counters->connected.load(); });
        const mqtt::EdgeSettings edgeSettings = EdgeSettingsOf(o);
        if (!mqtt::CheckSettings(edgeSettings, source->Model(), error)) {
            std::fprintf(stderr, "orvgate: %s: %s\n", o.map.c_str(), error.c_str());
            return kExitUsage;
        }
        edge =
            std::make_unique<mqtt::EdgeNode>(edgeSettings, *source, [](mqtt::LogLevel level, const std::string &text) {
                Log(level == mqtt::LogLevel::Warning ? Level::Warning : Level::Info, "mqtt: %s", text.c_str());
            });
        core.AddObserver(&edge->Events());
    }
#else
    if (o.mqtt) {
        std::fprintf(stderr, "orvgate: this build has no MQTT edge node (libmosquitto or libprotobuf were missing)\n");
        return kExitUsage;
    }
#endif
    core.AddObserver(&monitor);
    const Heartbeat *edgeProgress = nullptr;
#if defined(ORVGATE_HAVE_MQTT)
    if (edge) {
        edgeProgress = &edge->Progress();
    }
#endif
#if defined(ORVGATE_HAVE_WEB)
    std::unique_ptr<web::WebServer> webServer;
    if (!o.httpPort.empty()) {
        web::FigureSources sources;
        if (o.modbus) {
            sources.modbus = [counters]() -> std::optional<web::ModbusFigures> { return ModbusFiguresOf(*counters); };
        }
#if defined(ORVGATE_HAVE_MQTT)
        if (edge) {
            sources.mqtt = [&edge]() -> std::optional<web::MqttFigures> { return MqttFiguresOf(*edge); };
        }
#endif
        web::WebSettings webSettings;
        webSettings.host = o.httpHost;
        webSettings.port = o.httpPort;
        webSettings.maxLivePages = o.httpPages;
        webServer =
            std::make_unique<web::WebServer>(webSettings, core, std::move(sources), std::chrono::system_clock::now());
    }
#else
    if (!o.httpPort.empty()) {
        std::fprintf(stderr, "orvgate: this build has no web view (cpp-httplib or npm's uplot were missing)\n");
        return kExitUsage;
    }
#endif
    auto more = [&]() -> std::string {
#if defined(ORVGATE_HAVE_MQTT)
        if (edge) {
            return EdgeReport(*edge);
        }
#endif
        return {};
    };

    // The one way down, in a fixed order: the listener and its clients
    // first, so that none waits on a gateway that no longer scans; then the
    // queued work (the edge node withdraws its commands before its NDEATH);
    // then the cards.
    std::atomic<bool> serverFailed{false};
    std::thread serverThread;
    std::thread webThread;
    auto shutDown = [&] {
        monitor.Stop();
#if defined(ORVGATE_HAVE_WEB)
        if (webServer) {
            webServer->Stop();
        }
        if (webThread.joinable()) {
            webThread.join();
        }
#endif
        server.Stop();
        if (serverThread.joinable()) {
            serverThread.join();
        }
#if defined(ORVGATE_HAVE_MQTT)
        if (edge) {
            edge->Stop();
        }
#endif
        core.Stop();
    };

    // The threads, now that everything they share is in place.
    core.Run();
    notifier.Status("waiting for the first scan cycles");
    core.WaitReady(kFirstCycleWait);
#if defined(ORVGATE_HAVE_MQTT)
    // Its births hold what the first cycles read.
    if (edge && !edge->Start(error)) {
        std::fprintf(stderr, "orvgate: %s: %s\n", o.map.c_str(), error.c_str());
        shutDown();
        return kExitUsage;
    }
#endif
    if (o.modbus && !server.Listen(error)) {
        std::fprintf(stderr, "orvgate: %s\n", error.c_str());
        shutDown();
        return kExitFailed;
    }
    if (o.modbus) {
        serverThread = std::thread([&server, &serverFailed] {
            if (!server.Run()) {
                serverFailed = true;
                kill(getpid(), SIGTERM); // a server that ended on its own ends the program, as a failure
            }
        });
    }

#if defined(ORVGATE_HAVE_WEB)
    if (webServer) {
        if (!webServer->Listen(error)) {
            std::fprintf(stderr, "orvgate: %s\n", error.c_str());
            shutDown();
            return kExitFailed;
        }
        webThread = std::thread([&webServer] { webServer->Run(); });
    }
#endif

    monitor.Serving([&core] { return core.Cards(); }, ServiceParts(core, o.modbus ? &server : nullptr, edgeProgress),
                    ServingText(o), [] { kill(getpid(), SIGTERM); });
    for (;;) {
        int signal = 0;
        sigwait(&signals, &signal);
        if (signal != SIGUSR1) {
            break;
        }
        if (o.stats) {
            PrintStats(core, *counters, startedAt, more());
        }
    }
    Say("stopping");
    shutDown();
    if (o.stats) {
        PrintStats(core, *counters, startedAt, more());
    }
    Say("stopped");
    return serverFailed || monitor.GaveUp() ? kExitFailed : kExitOk;
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
