// A channel's Instance in host-owned memory of exactly the reported size,
// with the CallRecord that operations take.
#pragma once

#include <cstdint>
#include <memory>

#include "channel/instance.h"
#include "orvtiw/host_abi.h"

namespace orvtiw::test {

struct TestChannel {
    explicit TestChannel(int channelNumber = 3);
    // Exactly the size the host allocates, so a sanitizer sees any byte beyond.
    std::unique_ptr<std::uint8_t[]> memory;
    Instance &inst;
    CallRecord call;

    // Marks the link open on the given card memory, as OpenCom leaves it.
    void openOn(std::uint8_t *window, std::int32_t replyTimeoutMs = 1000);
    // Runs an operation through the entry with the given parameter record.
    int run(int op, void *params);
};

} // namespace orvtiw::test
