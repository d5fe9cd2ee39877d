// The platform calls on Windows: kernel32 as it is.
#include <windows.h>

#include "link/platform.h"

namespace orvtiw {
namespace {

HANDLE ToHandle(DeviceHandle device) {
    return reinterpret_cast<HANDLE>(device);
}

DeviceHandle WinOpenDevice(const char *path, std::uint32_t access, std::uint32_t shareMode,
                           std::uint32_t disposition, std::uint32_t flags) {
    HANDLE h = CreateFileA(path, access, shareMode, nullptr, disposition, flags, nullptr);
    return reinterpret_cast<DeviceHandle>(h);
}

int WinDeviceControl(DeviceHandle device, std::uint32_t code, const void *in, std::uint32_t inSize, void *out,
                     std::uint32_t outSize, std::uint32_t *bytesReturned) {
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(ToHandle(device), code, const_cast<void *>(in), inSize, out, outSize, &returned,
                              nullptr);
    if (bytesReturned != nullptr) {
        *bytesReturned = returned;
    }
    return ok ? 1 : 0;
}

int WinCloseHandle(DeviceHandle device) {
    return CloseHandle(ToHandle(device)) ? 1 : 0;
}

std::uint32_t WinTickCount() {
    return GetTickCount();
}

void WinSleep(std::uint32_t ms) {
    Sleep(ms);
}

const PlatformCalls kWindowsCalls = {WinOpenDevice, WinDeviceControl, WinCloseHandle, WinTickCount, WinSleep};

} // namespace

const PlatformCalls &SystemPlatform() {
    return kWindowsCalls;
}

const char *DevicePath() {
    return "\\\\.\\GRELMIN";
}

} // namespace orvtiw
