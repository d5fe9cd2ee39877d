// tiwaysim's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tiwaysim {

struct Options {
    std::string device;                // memory device file
    std::vector<std::uint16_t> cards;  // segments given with --card
    std::string config;                // network description, or ""
    std::string memory;                // controller memory kept across runs, or ""
    std::string control;               // control socket, or ""
    std::string readyFile;             // written once serving, or ""
    bool trace = false;
    bool removeDevice = false;
    bool configured = false;           // adapters come up with their configuration set
    std::uint32_t pollMicros = 100;
    std::uint32_t lineRate = 0;        // bits per second on each card's line, 0: none
    // Client mode: send one command to a running simulator.
    std::string sendPath;
    std::string sendCommand;
    bool help = false;
    bool version = false;
};

// False with a message on a bad command line. `defaultDevice` is the
// build's device path.
bool ParseOptions(int argc, const char *const *argv, const std::string &defaultDevice, Options &options,
                  std::string &error);

const char *Usage();
const char *Version(); // "tiwaysim 7.0": name and version, as help2man reads them

} // namespace tiwaysim
