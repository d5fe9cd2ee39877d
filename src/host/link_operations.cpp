#include "host/link_operations.h"

#include "channel/instance.h"
#include "channel/logging.h"
#include "host/messages.h"
#include "link/card_window.h"
#include "link/mailbox.h"

namespace orvtiw {

Status OpenCom(CallRecord *call) {
    Instance &inst = *InstanceOf(call);
    // The mailbox spans the first 1024 bytes of the window; a smaller window
    // would put the handshake bytes outside the mapped memory.
    if (inst.cardWindowSize < Mailbox::kSize) {
        ORV_LOG(kLogError, msg::kOpenComWindowTooSmall, ChannelOf(inst), static_cast<unsigned>(inst.cardWindowSize));
        return kStatusCommFailure;
    }
    if (OpenDriver(inst) != kDone) {
        ORV_LOG(kLogError, msg::kOpenComNoDriver, ChannelOf(inst));
        return kStatusCommFailure;
    }
    inst.window = MapCardMemory(inst);
    if (inst.window == nullptr) {
        ORV_LOG(kLogError, msg::kOpenComNoMap, ChannelOf(inst));
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
