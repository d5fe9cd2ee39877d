#include "gate_options.h"

#include <CLI/CLI.hpp>
#include <sstream>

namespace orvgate {
namespace {

constexpr int kExitUsage = 2;

#ifndef ORVGATE_VERSION
#define ORVGATE_VERSION "unknown"
#endif

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
    app.set_version_flag("--version", "orvgate " ORVGATE_VERSION);
    std::string listen = o.listenHost + ":" + o.listenPort;
    int idleSeconds = static_cast<int>(o.idleTimeout.count());
    int maxAgeMs = 0;
    int retryMs = static_cast<int>(o.retryInterval.count());
    int periodMs = 0;
    std::string card = "C800";

    app.add_option("--map", o.map, "The map file: channels to start and the Modbus ranges they serve")
        ->type_name("FILE")
        ->check(CLI::ExistingFile.description(""));
    app.add_option("--listen", listen, "Address and port to listen on")->type_name("ADDR:PORT")->capture_default_str();
    app.add_option("--max-clients", o.maxClients, "Connections served at once; more are refused")
        ->type_name("N")
        ->check(CLI::Range(1, 512).description("1..512"))
        ->capture_default_str();
    app.add_option("--idle-timeout", idleSeconds, "Seconds after which a silent connection is closed (0: never)")
        ->type_name("S")
        ->check(CLI::Range(0, 86400).description("0..86400"))
        ->capture_default_str();
    app.add_option("--max-age", maxAgeMs,
                   "Oldest value served, in ms (default: three scan cycles, at least 500 ms); older ones get "
                   "exception 0x0B")
        ->type_name("MS")
        ->check(CLI::Range(1, 3600000).description("1..3600000"));
    app.add_option("--timeout", o.timeoutMs, "Reply time-out of the driver, in ms (10 ms steps)")
        ->type_name("MS")
        ->check(CLI::Range(10, 600000).description("10..600000"))
        ->capture_default_str();
    app.add_option("--retry-interval", retryMs,
                   "First wait, in ms, before a lost channel, secondary or block is tried again; doubled up to 30 s")
        ->type_name("MS")
        ->check(CLI::Range(10, 600000).description("10..600000"))
        ->capture_default_str();
    app.add_option("--scan-period", periodMs, "Shortest scan cycle, in ms (0: scan without pause)")
        ->type_name("MS")
        ->check(CLI::Range(0, 3600000).description("0..3600000"));
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
    app.add_flag("--check", o.check, "Check the map through the driver without a card, print the scan plan, exit");
    app.add_flag("-v,--verbose", o.verbose, "Show every line the driver logs");
    app.add_option("--module", o.module, "The driver module to load (default: beside orvgate, then installed)")
        ->type_name("PATH");
    app.add_option("--kelmar", o.kelmar, "The logging module to load (default: beside orvgate, then installed)")
        ->type_name("PATH");

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
    o.idleTimeout = std::chrono::seconds(idleSeconds);
    if (maxAgeMs > 0) {
        o.maxAge = std::chrono::milliseconds(maxAgeMs);
    }
    o.retryInterval = std::chrono::milliseconds(retryMs);
    o.scanPeriod = std::chrono::milliseconds(periodMs);
    out.options = o;
    return out;
}

} // namespace orvgate
