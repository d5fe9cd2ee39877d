#include "host/channel_start.h"

#include <cstring>

#include "addressing/init_file.h"
#include "channel/instance.h"
#include "channel/logging.h"
#include "channel/status.h"
#include "host/build_stamp.h"
#include "host/driver_info.h"
#include "host/link_operations.h"
#include "host/messages.h"
#include "tiway/adapter_configuration.h"
#include "tiway/secondaries.h"

namespace orvtiw {
namespace {

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
    // Set before the link opens, so that a channel whose card was not there
    // yet keeps its time-out for the warm start that recovers it.
    inst.replyTimeout = TimeoutTenfold(start.timeout < kMinimumTimeoutUnits ? kMinimumTimeoutUnits : start.timeout);
    if (OpenCom(call) != kStatusOk) {
        ORV_LOG(kLogError, msg::kOpenCardFailed, channel, static_cast<unsigned>(inst.cardSegment));
        return kStatusCommFailure;
    }

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

} // namespace orvtiw
