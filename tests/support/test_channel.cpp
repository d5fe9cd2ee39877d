#include "support/test_channel.h"

#include <cstring>

#include "host/operation_table.h"

namespace orvtiw::test {

TestChannel::TestChannel(int channelNumber)
    : memory(new std::uint8_t[static_cast<std::size_t>(kInstanceSize)]()),
      inst(*reinterpret_cast<Instance *>(memory.get())), call{&inst, 0, channelNumber, 0, nullptr} {
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
    call.op = op;
    call.params = params;
    return Dispatch(&call);
}

} // namespace orvtiw::test
