#include "host/driver_info.h"

#include <limits>

#include "channel/instance.h"
#include "channel/status.h"

namespace orvtiw {

// The display banner of operation 14, in code page 437 (box drawing and shades).
const char kBanner[kBannerLength + 1] =
    "\n"
    "\xDA\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xBF\n"
    "\xB3 \xDB\xDB\xDB\xDB\xDB\xB2\xB2\xB2\xB2\xB2\xB2\xB1\xB1\xB1\xB1\xB1\xB1\xB0\xB0\xB0\xB0\xB0 O R V T I W \xB0\xB0\xB0\xB0\xB0\xB1\xB1\xB1\xB1\xB1\xB1\xB2\xB2\xB2\xB2\xB2\xB2\xDB\xDB\xDB\xDB\xDB  \xB3\n"
    "\xB3         TIWAY I PC Host Adapter Driver. for TI 530         \xB3\n"
    "\xB3            Non-Intelligent Terminal Protocol               \xB3\n"
    "\xB3      ORVTIW Driver Project (c) 2026 - Version 7.0          \xB3\n"
    "\xC0\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xD9\n";

static_assert(sizeof(kBanner) == kBannerLength + 1);

std::int32_t TimeoutTenfold(std::int32_t units) {
    const std::int64_t ms = static_cast<std::int64_t>(units) * 10;
    if (ms > std::numeric_limits<std::int32_t>::max()) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (ms < std::numeric_limits<std::int32_t>::min()) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(ms);
}

int GetDriverInfo(CallRecord *call) {
    InfoRecord &info = *static_cast<InfoRecord *>(call->params);
    info.hostConstant0 = 70;
    info.driverName = kDriverName;
    info.banner = kBanner;
    info.instanceSize = kInstanceSize;
    info.hostConstant16 = 1;
    info.hostConstant28 = 3;
    return kStatusOk;
}

int SetTimeout(CallRecord *call) {
    const TimeoutRecord &record = *static_cast<const TimeoutRecord *>(call->params);
    // A negative count would become a wait of about 49 days once the waits
    // read it as unsigned, so only a positive count changes the time-out.
    if (record.timeout > 0) {
        InstanceOf(call)->replyTimeout = TimeoutTenfold(record.timeout);
    }
    return kStatusOk;
}

} // namespace orvtiw
