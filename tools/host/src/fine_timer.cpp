#include "orvtiw/host.h"

#if defined(_WIN32)
#include <windows.h>

// After windows.h, whose types it takes.
#include <mmsystem.h>
#endif

namespace orvtiw::host {

#if defined(_WIN32)

FineTimer::FineTimer() : held_(timeBeginPeriod(1) == TIMERR_NOERROR) {}

FineTimer::~FineTimer() {
    if (held_) {
        timeEndPeriod(1);
    }
}

#else

FineTimer::FineTimer() = default;
FineTimer::~FineTimer() = default;

#endif

} // namespace orvtiw::host
