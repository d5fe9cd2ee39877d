#include "link/card_window.h"

#include "host/logging.h"
#include "host/status.h"
#include "link/mailbox.h"
#include "link/messages.h"
#include "link/platform.h"

namespace orvtiw {
namespace {

// Every control call reports its byte count here; nothing reads it.
std::uint32_t gBytesReturned = 0;

int Channel(const Instance &inst) {
    return static_cast<int>(inst.channel);
}

} // namespace

int OpenDriver(Instance &inst) {
    inst.device =
        Platform().openDevice(DevicePath(), kGenericReadWrite, kShareNone, kOpenExisting, kFileAttributeNormal);
    if (inst.device != kInvalidDevice) {
        return kDone;
    }
    ORV_LOG(kLogError, msg::kErrorOpeningDriver, Channel(inst));
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
        ORV_LOG(kLogError, msg::kMapWhenNotOpen, Channel(inst));
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
    ORV_LOG(kLogError, msg::kFailedToMap, Channel(inst));
    return nullptr;
}

void UnmapCardMemory(Instance &inst) {
    if (inst.device != kInvalidDevice) {
        std::uint8_t *window = inst.window;
        (void)Platform().deviceControl(inst.device, kIoctlUnmapCardMemory, &window, sizeof window, nullptr, 0,
                                       &gBytesReturned);
    }
}

int OpenCom(CallRecord *call) {
    Instance &inst = *InstanceOf(call);
    // The mailbox spans the first 1024 bytes of the window; a smaller window
    // would put the handshake bytes outside the mapped memory.
    if (inst.cardWindowSize < Mailbox::kSize) {
        ORV_LOG(kLogError, msg::kOpenComWindowTooSmall, Channel(inst), static_cast<unsigned>(inst.cardWindowSize));
        return kStatusCommFailure;
    }
    if (OpenDriver(inst) != kDone) {
        ORV_LOG(kLogError, msg::kOpenComNoDriver, Channel(inst));
        return kStatusCommFailure;
    }
    inst.window = MapCardMemory(inst);
    if (inst.window == nullptr) {
        ORV_LOG(kLogError, msg::kOpenComNoMap, Channel(inst));
        CloseCom(call);
        return kStatusCommFailure;
    }
    if (ResetAdapter(inst) != kDone) {
        CloseCom(call);
        return kStatusCommFailure;
    }
    return kStatusOk;
}

int CloseCom(CallRecord *call) {
    Instance &inst = *InstanceOf(call);
    if (inst.window != nullptr) {
        UnmapCardMemory(inst);
        inst.window = nullptr;
    }
    CloseDriver(inst);
    return kStatusOk;
}

int Stop(CallRecord *call) {
    CloseCom(call);
    return kStatusOk;
}

int ReopenCom(CallRecord *call) {
    CloseCom(call);
    return OpenCom(call) == kStatusOk ? kStatusOk : kStatusCommFailure;
}

} // namespace orvtiw
