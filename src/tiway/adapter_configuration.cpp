#include "tiway/adapter_configuration.h"

#include <cstring>

#include "channel/instance.h"
#include "channel/logging.h"
#include "channel/status.h"
#include "link/mailbox.h"
#include "link/platform.h"
#include "tiway/messages.h"
#include "tiway/primitives.h"

namespace orvtiw {
namespace {

struct ConfigCommand {
    int length;
    std::uint8_t bytes[7];
};

// The adapter's configuration sequence, sent in this order and unchanged.
constexpr ConfigCommand kConfigCommandTable[] = {
    {7, {0x20, 0x01, 0x00, 0x04, 0x03, 0x00, 0x20}},
    {1, {0x11}},
    {7, {0x30, 0x01, 0x6B, 0x6B, 0x09, 0x00, 0x28}},
    {3, {0x19, 0x28, 0x01}},
};

// One command of the sequence: 0, the failed exchange's -1, or the status
// of a rejected reply.
int SendCommand(Instance &inst, const ConfigCommand &command) {
    inst.requestLength = command.length;
    std::memcpy(inst.request, command.bytes, static_cast<std::size_t>(command.length));
    if (Transact(inst) != kExchangeOk) {
        return kExchangeFailed;
    }
    return CheckReply(inst);
}

} // namespace

int ConfigureAdapter(CallRecord *call) {
    Instance &inst = *InstanceOf(call);
    const PlatformCalls &os = Platform();
    int result = 0;
    for (int index = 0; index < 4 && result == 0; ++index) {
        result = SendCommand(inst, kConfigCommandTable[index]);
        if (index == 0) {
            // An adapter that already holds its configuration says so in
            // reply byte 3; anything else just goes on with the sequence.
            if (result == 0 && inst.reply[3] == 1) {
                break;
            }
            result = 0;
        } else if (index == 1) {
            os.sleepMs(kConfigurePauseMs);
        } else if (index == 2 && result == 0) {
            os.sleepMs(kConfigurePauseMs);
        }
    }
    if (result != 0) {
        ORV_LOG(kLogError, msg::kConfigureFail, static_cast<int>(inst.channel), result);
    }
    return result;
}

} // namespace orvtiw
