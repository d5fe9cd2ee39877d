// orvgate's command line (CLI11): where it listens, what it serves, how it
// scans, and how long it waits. --help and --version print what help2man
// reads.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace orvgate {

struct Options {
    std::string map; // empty: the transparent default
    std::string listenHost = "127.0.0.1";
    std::string listenPort = "1502";
    int maxClients = 16;
    std::chrono::seconds idleTimeout{60}; // 0: never
    std::optional<std::chrono::milliseconds> maxAge;
    std::int32_t timeoutMs = 1000; // the reply time-out the driver waits
    std::chrono::milliseconds retryInterval{1000};
    std::chrono::milliseconds scanPeriod{0};
    bool writable = false;              // the transparent default's writes
    bool readOnly = false;              // no write anywhere, whatever else says
    std::uint16_t cardSegment = 0xC800; // the transparent default's card
    bool stats = false;
    int statsUnit = 255;
    bool check = false; // check the map without a card and exit
    bool verbose = false;
    std::string module;
    std::string kelmar;
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
