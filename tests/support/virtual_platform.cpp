#include "support/virtual_platform.h"

#include <cstring>

namespace orvtiw::test {
namespace {

VirtualPlatform *gCurrent = nullptr;

DeviceHandle VOpen(const char *path, std::uint32_t access, std::uint32_t share, std::uint32_t disposition,
                   std::uint32_t flags) {
    gCurrent->opens.push_back(OpenCall{path, access, share, disposition, flags});
    return gCurrent->failOpen ? kInvalidDevice : gCurrent->handle;
}

int VControl(DeviceHandle device, std::uint32_t code, const void *in, std::uint32_t inSize, void *out,
             std::uint32_t outSize, std::uint32_t *bytesReturned) {
    ControlCall call{device, code, {}, outSize, bytesReturned != nullptr};
    if (in != nullptr) {
        const auto *bytes = static_cast<const std::uint8_t *>(in);
        call.input.assign(bytes, bytes + inSize);
    }
    gCurrent->controls.push_back(call);
    if (code == kIoctlMapCardMemory) {
        std::uint8_t *window = gCurrent->mapReturnsNull ? nullptr : gCurrent->cardWindow();
        if (gCurrent->failMap) {
            if (gCurrent->mapWritesOutputOnFailure && out != nullptr) {
                std::memcpy(out, &window, sizeof window);
            }
            return 0;
        }
        if (out != nullptr && outSize >= sizeof window) {
            std::memcpy(out, &window, sizeof window);
        }
        return 1;
    }
    return 1;
}

int VClose(DeviceHandle device) {
    gCurrent->closes.push_back(device);
    return 1;
}

std::uint32_t VTick() {
    ++gCurrent->tickReads;
    return gCurrent->now;
}

void VSleep(std::uint32_t ms) {
    gCurrent->sleeps.push_back(ms);
    gCurrent->advance(ms);
}

} // namespace

VirtualPlatform::VirtualPlatform(std::uint32_t startTick, std::size_t cardMemorySize)
    : card(cardMemorySize, 0), now(startTick), calls_{VOpen, VControl, VClose, VTick, VSleep} {
    gCurrent = this;
    SetPlatform(&calls_);
}

VirtualPlatform::~VirtualPlatform() {
    SetPlatform(nullptr);
    gCurrent = nullptr;
}

void VirtualPlatform::advance(std::uint32_t ms) {
    for (std::uint32_t i = 0; i < ms; ++i) {
        ++now;
        ++sleptMs;
        if (onMillisecond) {
            onMillisecond(now);
        }
    }
}

std::vector<ControlCall> VirtualPlatform::controlsWithCode(std::uint32_t code) const {
    std::vector<ControlCall> out;
    for (const ControlCall &c : controls) {
        if (c.code == code) {
            out.push_back(c);
        }
    }
    return out;
}

} // namespace orvtiw::test
