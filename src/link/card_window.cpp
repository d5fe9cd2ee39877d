#include "link/card_window.h"

#include "channel/logging.h"
#include "link/messages.h"
#include "link/platform.h"

namespace orvtiw {
namespace {

// Every control call reports its byte count here; nothing reads it.
std::uint32_t gBytesReturned = 0;

} // namespace

Done OpenDriver(Instance &inst) {
    inst.device =
        Platform().openDevice(DevicePath(), kGenericReadWrite, kShareNone, kOpenExisting, kFileAttributeNormal);
    if (inst.device != kInvalidDevice) {
        return kDone;
    }
    ORV_LOG(kLogError, msg::kErrorOpeningDriver, ChannelOf(inst));
    return kNotDone;
}

void CloseDriver(Instance &inst) {
    if (inst.device != kInvalidDevice) {
        (void)Platform().closeHandle(inst.device);
        inst.device = kInvalidDevice;
    }
}

std::uint8_t *MapCardMemory(Instance &inst) {
    if (inst.device == kInvalidDevice) {
        ORV_LOG(kLogError, msg::kMapWhenNotOpen, ChannelOf(inst));
        return nullptr;
    }
    const MapRequest request{1, 0, static_cast<std::uint32_t>(inst.cardSegment) << 4, 0, 0, inst.cardWindowSize};
    std::uint8_t *output = nullptr;
    const PlatformCalls &os = Platform();
    if (os.deviceControl(inst.device, kIoctlMapCardMemory, &request, sizeof request, &output, sizeof output,
                         &gBytesReturned) != 0) {
        return output;
    }
    (void)os.deviceControl(inst.device, kIoctlUnmapCardMemory, &output, sizeof output, nullptr, 0, &gBytesReturned);
    ORV_LOG(kLogError, msg::kFailedToMap, ChannelOf(inst));
    return nullptr;
}

void UnmapCardMemory(Instance &inst) {
    if (inst.device != kInvalidDevice) {
        std::uint8_t *window = inst.window;
        (void)Platform().deviceControl(inst.device, kIoctlUnmapCardMemory, &window, sizeof window, nullptr, 0,
                                       &gBytesReturned);
    }
}

} // namespace orvtiw
