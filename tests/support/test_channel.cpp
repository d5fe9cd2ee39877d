#include "support/test_channel.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "host/operation_table.h"

namespace orvtiw::test {
namespace {

// The driver's core as a module: one for the whole test program, as a host
// loads a module once.
std::shared_ptr<host::Module> CoreModule() {
    static const std::shared_ptr<host::Module> module = [] {
        std::string error;
        auto loaded = host::Module::FromEntry(&Dispatch, error);
        if (loaded == nullptr) {
            std::fprintf(stderr, "the driver's core does not start: %s\n", error.c_str());
            std::abort();
        }
        return loaded;
    }();
    return module;
}

} // namespace

TestChannel::TestChannel(int channelNumber)
    : channel(CoreModule(), channelNumber),
      inst(*static_cast<Instance *>(channel.InstanceMemory())), call{&inst, 0, channelNumber, 0, nullptr} {
    inst.channel = static_cast<std::uint32_t>(channelNumber);
    inst.device = kInvalidDevice;
}

void TestChannel::openOn(std::uint8_t *window, std::int32_t replyTimeoutMs) {
    inst.device = 7;
    inst.window = window;
    inst.replyTimeout = replyTimeoutMs;
    inst.online = 1;
}

int TestChannel::run(int op, void *params) {
    return channel.Call(op, params).status;
}

} // namespace orvtiw::test
