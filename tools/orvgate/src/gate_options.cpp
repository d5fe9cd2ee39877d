#include "gate_options.h"

#include <CLI/CLI.hpp>
#include <sstream>
#include <vector>

#include "orvtiw/host.h"

namespace orvgate {
namespace {

constexpr int kExitUsage = 2;

#ifndef ORVGATE_VERSION
#define ORVGATE_VERSION "unknown"
#endif

// Where only this machine's clients can connect, one address needs no limit of its own.
bool OnLoopback(const std::string &host) {
    PeerFilter loopback;
    std::string ignored;
    loopback.Add("127.0.0.0/8", ignored);
    loopback.Add("::1", ignored);
    return host == "localhost" || loopback.Allows(host);
}

} // namespace

bool SplitListen(const std::string &text, std::string &host, std::string &port) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    std::string h = text.substr(0, colon);
    if (h.front() == '[') {
        if (h.size() < 3 || h.back() != ']') {
            return false;
        }
        h = h.substr(1, h.size() - 2);
    } else if (h.find(':') != std::string::npos) {
        return false; // an IPv6 address goes in brackets
    }
    const std::string p = text.substr(colon + 1);
    if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const int number = std::stoi(p);
    if (number < 1 || number > 65535) {
        return false;
    }
    host = h;
    port = p;
    return true;
}

ParsedCommandLine ParseCommandLine(int argc, const char *const *argv) {
    Options o;
    CLI::App app("orvgate serves the TIWAY network to Modbus TCP clients, through the OrvTiw driver.\n"
                 "Without --map it serves secondary N of channel 1 at unit N: holding registers V, input\n"
                 "registers WX, coils Y, discrete inputs X, register or coil A standing for element A+1.",
                 "orvgate");
    // The device file is fixed when the module is built: say which, for a machine with a card.
    app.set_version_flag("--version",
                         std::string("orvgate " ORVGATE_VERSION "\ndevice: ") + orvtiw::host::DevicePath());
    std::string listen = o.listenHost + ":" + o.listenPort;
    int idleSeconds = static_cast<int>(o.idleTimeout.count());
    int maxAgeMs = static_cast<int>(o.maxAge.count());
    int writeTimeoutMs = static_cast<int>(o.writeTimeout.count());
    int retryMs = static_cast<int>(o.retryInterval.count());
    int retryMostMs = static_cast<int>(o.retryMost.count());
    int periodMs = 0;
    int startupSeconds = static_cast<int>(o.startupTimeout.count());
    std::string card = "C800";

    app.add_option("--map", o.map, "The map file: channels to start and the Modbus ranges they serve")
        ->type_name("FILE")
        ->check(CLI::ExistingFile.description(""));
    app.add_option("--listen", listen, "Address and port to listen on")->type_name("ADDR:PORT")->capture_default_str();
    int keepSeconds = static_cast<int>(o.keepActive.count());
    std::vector<std::string> allow;
    app.add_option("--max-clients", o.maxClients,
                   "Connections served at once; for one more, one silent or idle past --keep-active gives way")
        ->type_name("N")
        ->check(CLI::Range(1, 512).description("1..512"))
        ->capture_default_str();
    app.add_option(
           "--max-clients-per-peer", o.maxClientsPerPeer,
           "Connections from one address at once (0: no limit; default 0 on the loopback, else half of --max-clients)")
        ->type_name("N")
        ->check(CLI::Range(0, 512).description("0..512"));
    app.add_option("--idle-timeout", idleSeconds, "Seconds after which a silent connection is closed (0: never)")
        ->type_name("S")
        ->check(CLI::Range(0, 86400).description("0..86400"))
        ->capture_default_str();
    app.add_option("--keep-active", keepSeconds, "Seconds a request keeps its connection from giving way to a newcomer")
        ->type_name("S")
        ->check(CLI::Range(0, 86400).description("0..86400"))
        ->capture_default_str();
    app.add_option("--allow", allow,
                   "Only these addresses or networks may connect, comma-separated or repeated (default: any)")
        ->type_name("ADDR[/BITS]")
        ->delimiter(',');
    app.add_option(
           "--max-age", maxAgeMs,
           "Oldest value of the default scan class served, in ms (a class's own: at least this); older get 0x0B")
        ->type_name("MS")
        ->check(CLI::Range(1, 3600000).description("1..3600000"))
        ->capture_default_str();
    app.add_option("--write-timeout", writeTimeoutMs,
                   "A write not begun within this many ms is answered 0x0B and never applied")
        ->type_name("MS")
        ->check(CLI::Range(1, 600000).description("1..600000"))
        ->capture_default_str();
    app.add_option("--timeout", o.timeoutMs, "Reply time-out of the driver, in ms (10 ms steps)")
        ->type_name("MS")
        ->check(CLI::Range(10, 600000).description("10..600000"))
        ->capture_default_str();
    app.add_option("--retry-interval", retryMs,
                   "First wait, in ms, before a lost channel, secondary or block is tried again; doubled up to "
                   "--retry-most")
        ->type_name("MS")
        ->check(CLI::Range(10, 600000).description("10..600000"))
        ->capture_default_str();
    app.add_option("--retry-most", retryMostMs, "Longest wait, in ms, between two tries of what is lost")
        ->type_name("MS")
        ->check(CLI::Range(10, 600000).description("10..600000"))
        ->capture_default_str();
    app.add_option("--scan-period", periodMs, "Period of the default scan class, in ms (0: as fast as the line allows)")
        ->type_name("MS")
        ->check(CLI::Range(0, 3600000).description("0..3600000"));
    app.add_option("--startup-timeout", startupSeconds,
                   "Exit 1 when no channel has answered within S seconds of the start (0: keep trying)")
        ->type_name("S")
        ->check(CLI::Range(0, 86400).description("0..86400"))
        ->capture_default_str();
    app.add_flag("--writable", o.writable, "Transparent default only: let clients write V (registers) and Y (coils)");
    app.add_flag("--read-only", o.readOnly, "Refuse every write, whatever the map or --writable say");
    app.add_option("--card", card, "Transparent default only: segment of channel 1's card (hex)")
        ->type_name("SEGMENT")
        ->capture_default_str();
    app.add_flag("--stats", o.stats, "Print statistics on SIGUSR1 and at exit");
    app.add_option("--stats-unit", o.statsUnit, "Unit id whose input registers hold the statistics")
        ->type_name("N")
        ->check(CLI::Range(0, 255).description("0..255"))
        ->capture_default_str();
    app.add_flag("--check", o.check,
                 "Check the map through the driver without a card, print the scan plan, the Modbus register table "
                 "and the MQTT metric list, exit");
    app.add_flag("-v,--verbose", o.verbose, "Show every line the driver logs");
    app.add_option("--module", o.module, "The driver module to load (default: beside orvgate, then installed)")
        ->type_name("PATH");
    app.add_option("--kelmar", o.kelmar, "The logging module to load (default: beside orvgate, then installed)")
        ->type_name("PATH");
    bool noModbus = false;
    app.add_flag("--no-modbus", noModbus, "Serve no Modbus TCP clients (with --mqtt: publish only)");
    std::string broker = o.mqttHost + ":" + std::to_string(o.mqttPort);
    app.add_option("--mqtt", broker, "Publish the map to this MQTT broker as a Sparkplug B edge node")
        ->type_name("[HOST:PORT]")
        ->expected(0, 1)
        ->default_str(broker);
    app.add_option("--mqtt-group", o.mqttGroup, "Sparkplug group id (needed with --mqtt)")->type_name("ID");
    app.add_option("--mqtt-node", o.mqttNode, "Sparkplug edge node id (default: the host name)")->type_name("ID");
    app.add_option("--mqtt-user", o.mqttUser, "User name at the broker")->type_name("NAME");
    app.add_option("--mqtt-password-file", o.mqttPasswordFile, "File whose first line is the broker password")
        ->type_name("FILE");
    app.add_option("--mqtt-ca", o.mqttCa, "TLS (1.2 at least): the CA file the broker's certificate is checked against")
        ->type_name("FILE");
    app.add_option("--mqtt-cert", o.mqttCert, "TLS: this client's certificate (with --mqtt-key)")->type_name("FILE");
    app.add_option("--mqtt-key", o.mqttKey, "TLS: this client's private key")->type_name("FILE");
    app.add_option("--mqtt-primary-host", o.mqttPrimaryHost,
                   "Births only while this Sparkplug primary host says it is online")
        ->type_name("ID");
    app.add_option("--mqtt-state", o.mqttState,
                   "File that keeps bdSeq across restarts (default: orvgate-GROUP-NODE.bdseq here)")
        ->type_name("FILE");
    app.add_option("--mqtt-store", o.mqttStore, "Changes kept while the broker is away; the oldest go first")
        ->type_name("N")
        ->check(CLI::Range(std::size_t{1}, std::size_t{10000000}).description("1..10000000"))
        ->capture_default_str();
    app.add_option("--mqtt-command-max-age", o.mqttCommandMaxAgeS,
                   "A DCMD stamped more than this many seconds ago is refused (0: any age)")
        ->type_name("S")
        ->check(CLI::Range(0, 86400).description("0..86400"))
        ->capture_default_str();
    app.add_flag("--mqtt-uint32-long", o.mqttUint32InLong,
                 "Send UInt32 metrics in long_value, for hosts that read them there (default: int_value)");

    std::string http;
    app.add_option("--http", http,
                   "Serve the web view and Prometheus /metrics here (read-only; a PORT alone: 127.0.0.1:PORT)")
        ->type_name("[ADDR:]PORT");
    app.add_option("--http-pages", o.httpPages, "Live web pages open at once")
        ->type_name("N")
        ->check(CLI::Range(1, 64).description("1..64"))
        ->capture_default_str();

    ParsedCommandLine out;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        std::ostringstream text;
        std::ostringstream errors;
        out.exitCode = app.exit(e, text, errors);
        out.message = text.str() + errors.str();
        return out;
    }
    auto fail = [&](const std::string &why) {
        out.exitCode = kExitUsage;
        out.message = "orvgate: " + why + "\n";
        return out;
    };
    if (!SplitListen(listen, o.listenHost, o.listenPort)) {
        return fail("--listen takes ADDR:PORT (e.g. 127.0.0.1:1502 or [::1]:1502), not '" + listen + "'");
    }
    if (!o.map.empty() && (app.count("--card") > 0 || o.writable)) {
        return fail("--card and --writable are for the transparent default; a map names its channels' "
                    "initialisation files and its writable ranges");
    }
    if (card.empty() || card.size() > 4 || card.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return fail("--card takes a segment of up to 4 hex digits, not '" + card + "'");
    }
    o.cardSegment = static_cast<std::uint16_t>(std::stoul(card, nullptr, 16));
    if (!http.empty()) {
        const std::string withHost = http.find(':') == std::string::npos ? "127.0.0.1:" + http : http;
        if (!SplitListen(withHost, o.httpHost, o.httpPort)) {
            return fail("--http takes [ADDR:]PORT (e.g. 8080 or 127.0.0.1:8080), not '" + http + "'");
        }
    }
    o.idleTimeout = std::chrono::seconds(idleSeconds);
    o.keepActive = std::chrono::seconds(keepSeconds);
    if (app.count("--max-clients-per-peer") == 0 && !OnLoopback(o.listenHost)) {
        o.maxClientsPerPeer = (o.maxClients + 1) / 2; // no one address takes every slot
    }
    for (const std::string &network : allow) {
        std::string why;
        if (!o.allow.Add(network, why)) {
            return fail("--allow: " + why);
        }
    }
    o.startupTimeout = std::chrono::seconds(startupSeconds);
    o.modbus = !noModbus;
    o.mqtt = app.count("--mqtt") > 0;
    if (o.mqtt) {
        std::string port = "1883";
        if (!SplitListen(broker, o.mqttHost, port)) {
            return fail("--mqtt takes HOST:PORT (e.g. 127.0.0.1:1883), not '" + broker + "'");
        }
        o.mqttPort = std::stoi(port);
        if (o.map.empty()) {
            return fail("--mqtt publishes a map's ranges: give --map");
        }
        if (o.mqttGroup.empty()) {
            return fail("--mqtt needs --mqtt-group, the Sparkplug group id");
        }
    } else if (!o.modbus) {
        return fail("--no-modbus leaves nothing to serve without --mqtt");
    }
    o.maxAge = std::chrono::milliseconds(maxAgeMs);
    o.writeTimeout = std::chrono::milliseconds(writeTimeoutMs);
    o.retryInterval = std::chrono::milliseconds(retryMs);
    o.retryMost = std::chrono::milliseconds(retryMostMs);
    o.scanPeriod = std::chrono::milliseconds(periodMs);
    if (o.retryInterval > o.retryMost) {
        return fail("--retry-interval (" + std::to_string(retryMs) + " ms) is longer than --retry-most (" +
                    std::to_string(retryMostMs) + " ms), the longest wait between two tries");
    }
    if (o.scanPeriod >= o.maxAge) {
        // Every value would be older than the ceiling before its next read.
        return fail("--scan-period (" + std::to_string(periodMs) + " ms) must be shorter than --max-age (" +
                    std::to_string(maxAgeMs) + " ms), or no value is served between two cycles");
    }
    out.options = o;
    return out;
}

} // namespace orvgate
