#include "tiway/secondaries.h"

#include "channel/logging.h"
#include "channel/status.h"
#include "link/big_endian.h"
#include "link/mailbox.h"
#include "tiway/messages.h"
#include "tiway/primitives.h"

namespace orvtiw {

int ConnectSecondary(Instance &inst, std::uint8_t address) {
    inst.requestLength = 2;
    inst.request[0] = kMhiuConnect;
    inst.request[1] = address;
    const Exchange exchanged = Transact(inst);
    if (exchanged != kExchangeOk) {
        return exchanged;
    }
    const Status judged = CheckReply(inst);
    if (judged != kStatusOk) {
        return judged;
    }
    if (inst.reply[3] != address) {
        ORV_LOG(kLogError, msg::kSecondaryNotConnected, static_cast<int>(inst.channel), static_cast<int>(address));
        return kConnectedOther;
    }
    return kConnected;
}

int ReconnectSecondarys(Instance &inst) {
    bool listed[kSecondaryCount] = {};
    inst.requestLength = 2;
    inst.request[0] = kMhiuAdapterQuery;
    inst.request[1] = kQueryConnectedSecondaries;
    // Only a good reply holds a list: after a failed exchange or an error
    // reply, nothing counts as listed, so every secondary in use is tried.
    if (Transact(inst) == kExchangeOk && CheckReply(inst) == kStatusOk) {
        std::uint16_t length = 0;
        GetBE16(inst.reply, &length);
        for (int i = 3; i <= length + 1 && i < kReplyBufferSize; ++i) {
            if (inst.reply[i] < kSecondaryCount) {
                listed[inst.reply[i]] = true;
            }
        }
    }
    const int channel = static_cast<int>(inst.channel);
    for (int a = 1; a < kSecondaryCount; ++a) {
        if (inst.secondaryInUse[a] == 1 && !listed[a]) {
            if (ConnectSecondary(inst, static_cast<std::uint8_t>(a)) != kConnected) {
                ORV_LOG(kLogError, msg::kReconnectFailed, channel, static_cast<unsigned>(a));
            } else {
                ORV_LOG(kLogError, msg::kReconnectSucceeded, channel, static_cast<unsigned>(a));
            }
        }
    }
    return 0;
}

} // namespace orvtiw
