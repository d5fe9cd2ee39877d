#include "options.h"

#include <string_view>

#include "control_commands.h"
#include "text_fields.h"

namespace tiwaysim {
namespace {

// Slower polling than this would answer the driver late; faster would burn
// the processor for nothing.
constexpr std::uint32_t kMinPollMicros = 10;
constexpr std::uint32_t kMaxPollMicros = 10000;

} // namespace

bool ParseOptions(int argc, const char *const *argv, const std::string &defaultDevice, Options &o,
                  std::string &error) {
    o.device = defaultDevice;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](std::string &target) {
            if (i + 1 >= argc) {
                error = std::string(arg) + " needs a value";
                return false;
            }
            target = argv[++i];
            return true;
        };
        std::string text;
        // A number within [min, max]; the message names the range.
        auto bounded = [&](std::uint32_t &target, std::uint32_t min, std::uint32_t max, const char *unit) {
            if (!value(text)) {
                return false;
            }
            const auto v = ParseNumber(text, max);
            if (!v || *v < min) {
                error = std::string(arg) + " takes " + std::to_string(min) + ".." + std::to_string(max) + unit;
                return false;
            }
            target = *v;
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--device") {
            if (!value(o.device)) return false;
        } else if (arg == "--config") {
            if (!value(o.config)) return false;
        } else if (arg == "--memory") {
            if (!value(o.memory)) return false;
        } else if (arg == "--control") {
            if (!value(o.control)) return false;
        } else if (arg == "--ready-file") {
            if (!value(o.readyFile)) return false;
        } else if (arg == "--trace") {
            o.trace = true;
        } else if (arg == "--remove-device") {
            o.removeDevice = true;
        } else if (arg == "--configured") {
            o.configured = true;
        } else if (arg == "--card") {
            if (!value(text)) return false;
            const auto seg = ParseHex(text, 0xFFFF);
            if (!seg) {
                error = "--card takes a hexadecimal segment such as C800, not '" + text + "'";
                return false;
            }
            o.cards.push_back(static_cast<std::uint16_t>(*seg));
        } else if (arg == "--poll-us") {
            if (!bounded(o.pollMicros, kMinPollMicros, kMaxPollMicros, "")) return false;
        } else if (arg == "--line-rate") {
            if (!bounded(o.lineRate, kMinLineRate, kMaxLineRate, " bits per second")) return false;
        } else if (arg == "--send") {
            if (i + 2 >= argc) {
                error = "--send needs a control path and a command";
                return false;
            }
            o.sendPath = argv[++i];
            o.sendCommand = argv[++i];
        } else {
            error = "unknown argument '" + std::string(arg) + "'";
            return false;
        }
    }
    if (o.device.empty()) {
        error = "--device needs a path";
        return false;
    }
    return true;
}

const char *Usage() {
    return "usage: tiwaysim [--device PATH] [--card SEGMENT]... [--config FILE] [--memory FILE]\n"
           "                [--control SOCKET] [--ready-file PATH] [--trace] [--poll-us N] [--remove-device]\n"
           "                [--configured] [--line-rate BPS]\n"
           "       tiwaysim --send SOCKET \"COMMAND\"\n"
           "Serves simulated host-adapter cards (one per segment, window at SEGMENT*16, 0x800 bytes)\n"
           "in the memory device file until SIGINT or SIGTERM. See sim/README.md.\n";
}

} // namespace tiwaysim
