// read_gate: starts channel 1 of the TIWAY driver module and reads one gate.
//
//   read_gate ADDRESS [INITFILE]
//
// Prints "ADDRESS = VALUE" and exits 0, or prints why not and exits 1.
#include <cstdio>
#include <string>

#include "orvtiw/host.h"

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: read_gate ADDRESS [INITFILE]\n");
        return 2;
    }
    std::string error;
    auto module = orvtiw::host::Module::Load(READ_GATE_KELMAR, READ_GATE_MODULE, error);
    if (!module) {
        std::fprintf(stderr, "read_gate: %s\n", error.c_str());
        return 1;
    }
    orvtiw::host::Channel channel(module, 1);

    orvtiw::host::StartOptions start;
    if (argc == 3) {
        start.initFile = argv[2];
    }
    if (auto started = channel.ColdStart(start); !started) {
        std::fprintf(stderr, "read_gate: cold start: %s\n", started.Describe().c_str());
        return 1;
    }
    auto read = channel.ReadAs<std::int16_t>(argv[1]);
    channel.Stop();
    if (!read) {
        std::fprintf(stderr, "read_gate: %s: %s\n", argv[1], read.Describe().c_str());
        for (const auto &line : read.log) {
            std::fprintf(stderr, "  %d %s\n", line.level, line.text.c_str());
        }
        return 1;
    }
    std::printf("%s = %d\n", argv[1], read.values[0]);
    return 0;
}
