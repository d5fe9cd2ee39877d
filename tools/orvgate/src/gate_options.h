// orvgate's command line (CLI11): where it listens, what it serves, how it
// scans, and how long it waits. --help and --version print what help2man
// reads.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "modbus/peer_filter.h"

namespace orvgate {

struct Options {
    std::string map; // empty: the transparent default
    std::string listenHost = "127.0.0.1";
    std::string listenPort = "1502";
    int maxClients = 16;
    // Who may connect, and which connection gives way to a newcomer.
    int maxClientsPerPeer = 0; // 0: no limit per peer address; unless given, half of maxClients off the loopback
    std::chrono::seconds idleTimeout{60}; // 0: never
    std::chrono::seconds keepActive{30};  // a request keeps its connection from giving way this long
    PeerFilter allow;                     // empty: any address
    std::chrono::milliseconds maxAge{2000};
    std::chrono::milliseconds writeTimeout{300};
    std::int32_t timeoutMs = 1000; // the reply time-out the driver waits
    std::chrono::milliseconds retryInterval{1000};
    std::chrono::milliseconds retryMost{30000};
    std::chrono::milliseconds scanPeriod{0};
    bool writable = false;              // the transparent default's writes
    bool readOnly = false;              // no write anywhere, whatever else says
    std::uint16_t cardSegment = 0xC800; // the transparent default's card
    bool stats = false;
    int statsUnit = 247; // not 255 (0xFF), many clients' default unit id; the highest libmodbus can address
    bool check = false;  // check the map without a card and exit
    // No channel answered within this of the start: exit 1 (0: never).
    std::chrono::seconds startupTimeout{60};
    bool verbose = false;
    std::string module;
    std::string kelmar;

    // The web view and /metrics: off while httpPort is empty.
    std::string httpHost = "127.0.0.1";
    std::string httpPort;
    int httpPages = 8;

    // The Modbus front end (on unless --no-modbus) and the MQTT edge node
    // (on with --mqtt).
    bool modbus = true;
    bool mqtt = false;
    std::string mqttHost = "127.0.0.1";
    int mqttPort = 1883;
    std::string mqttGroup;
    std::string mqttNode; // empty: the host name
    std::string mqttUser;
    std::string mqttPasswordFile;
    std::string mqttCa;
    std::string mqttCert;
    std::string mqttKey;
    std::string mqttPrimaryHost;
    std::string mqttState; // empty: orvgate-GROUP-NODE.bdseq in the current directory
    std::size_t mqttStore = 100000;
    int mqttCommandMaxAgeS = 60;   // a DCMD stamped longer ago is refused; 0: no bound
    bool mqttUint32InLong = false; // UInt32 in long_value, for older hosts
};

struct ParsedCommandLine {
    std::optional<Options> options; // nothing: exit with `exitCode` after printing `message`
    int exitCode = 0;
    std::string message; // help or version on standard output, an error on standard error
};

ParsedCommandLine ParseCommandLine(int argc, const char *const *argv);

// "127.0.0.1:1502", "[::1]:1502"; false when it is not ADDR:PORT with a
// port of 1..65535.
bool SplitListen(const std::string &text, std::string &host, std::string &port);

} // namespace orvgate
