#include "host/channel_start.h"

#include <cstring>

#include "addressing/init_file.h"
#include "host/build_stamp.h"
#include "host/driver_info.h"
#include "host/logging.h"
#include "host/messages.h"
#include "host/status.h"
#include "link/card_window.h"
#include "link/mailbox.h"
#include "link/platform.h"
#include "tiway/primitives.h"
#include "tiway/secondaries.h"

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

constexpr std::uint16_t kDefaultCardSegment = 0xC800;
constexpr std::uint16_t kDefaultCardWindowSize = 0x800;

void StorePredefinedRegions(Instance &inst) {
    RegionOf(inst, 'V') = RegionDef{0x01, 16, 1};
    RegionOf(inst, 'X') = RegionDef{0x03, 8, 1};
    RegionOf(inst, 'Y') = RegionDef{0x04, 8, 1};
    RegionOf(inst, 'C') = RegionDef{0x05, 8, 1};
}

} // namespace

int ColdStart(CallRecord *call) {
    Instance &inst = *InstanceOf(call);
    const StartRecord &start = *static_cast<const StartRecord *>(call->params);

    std::memset(&inst, 0, static_cast<std::size_t>(kInstanceSize));
    inst.device = kInvalidDevice;
    inst.online = static_cast<std::uint32_t>(start.online);
    inst.channel = static_cast<std::uint32_t>(call->channel);
    const int channel = call->channel;

    ORV_LOG(kLogError, msg::kVersion, channel, BuildDate(), BuildTime());
    StorePredefinedRegions(inst);

    if (ReadInitFile(inst) != kDone) {
        ORV_LOG(kLogError, msg::kInitFileDefaults, channel);
        inst.cardSegment = kDefaultCardSegment;
        inst.cardWindowSize = kDefaultCardWindowSize;
    }
    if (inst.online == 0) {
        return kStatusOk;
    }
    if (OpenCom(call) != kStatusOk) {
        ORV_LOG(kLogError, msg::kOpenCardFailed, channel, static_cast<unsigned>(inst.cardSegment));
        return kStatusCommFailure;
    }
    inst.replyTimeout = TimeoutTenfold(start.timeout < kMinimumTimeoutUnits ? kMinimumTimeoutUnits : start.timeout);

    const int rc = ConfigureAdapter(call);
    if (rc == 0) {
        ORV_LOG(kLogError, msg::kLoaded, channel);
    } else {
        ORV_LOG(kLogError, msg::kColdStartFail, channel, rc);
    }
    return kStatusOk;
}

int WarmStart(CallRecord *call) {
    Instance &inst = *InstanceOf(call);
    const WarmStartRecord &warm = *static_cast<const WarmStartRecord *>(call->params);
    const int channel = call->channel;

    CloseCom(call);
    ORV_LOG(kLogProgress, msg::kWarmReopen, channel);
    if (OpenCom(call) != kStatusOk) {
        return kStatusCommFailure;
    }
    ORV_LOG(kLogProgress, msg::kWarmOpened, channel);
    const int rc = ConfigureAdapter(call);
    ORV_LOG(kLogProgress, msg::kWarmConfigured, channel, rc, static_cast<int>(warm.address));
    // An address outside the flags names no secondary in use.
    if (warm.address >= 0 && warm.address < kSecondaryCount && inst.secondaryInUse[warm.address] == 1) {
        return ReconnectSecondarys(inst);
    }
    return rc;
}

int ConfigureAdapter(CallRecord *call) {
    Instance &inst = *InstanceOf(call);
    const PlatformCalls &os = Platform();
    int result = 0;
    for (int index = 0; index < 4 && result == 0; ++index) {
        const ConfigCommand &command = kConfigCommandTable[index];
        inst.requestLength = command.length;
        std::memcpy(inst.request, command.bytes, static_cast<std::size_t>(command.length));
        result = Transact(inst);
        if (result == 0) {
            result = CheckReply(inst);
        }
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
