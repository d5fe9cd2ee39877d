#include "link/platform.h"

namespace orvtiw {
namespace {
const PlatformCalls *gOverride = nullptr;
} // namespace

const PlatformCalls &Platform() {
    return gOverride != nullptr ? *gOverride : SystemPlatform();
}

void SetPlatform(const PlatformCalls *calls) {
    gOverride = calls;
}

} // namespace orvtiw
