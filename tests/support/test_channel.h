// A channel of the driver linked into the test: the host library's Channel
// on the driver's entry, so its Instance is host-owned memory of exactly the
// reported size (what lies beyond it is poisoned under AddressSanitizer),
// with the CallRecord that routines below the operation table take.
#pragma once

#include <cstdint>

#include "channel/instance.h"
#include "orvtiw/host.h"
#include "orvtiw/host_abi.h"

namespace orvtiw::test {

struct TestChannel {
    explicit TestChannel(int channelNumber = 3);
    host::Channel channel;
    Instance &inst;
    CallRecord call;

    // Marks the link open on the given card memory, as OpenCom leaves it.
    void openOn(std::uint8_t *window, std::int32_t replyTimeoutMs = 1000);
    // Runs an operation through the entry with the given parameter record.
    int run(int op, void *params);
};

} // namespace orvtiw::test
