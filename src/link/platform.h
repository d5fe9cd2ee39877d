// Everything the driver asks of the operating system goes through this one
// table of calls, shaped like the Windows calls it replaces, so that tests
// can put a virtual clock and a simulated card in its place.
#pragma once

#include <cstdint>

#include "channel/instance.h"

namespace orvtiw {

// The values the driver passes to openDevice, as CreateFileA takes them.
inline constexpr std::uint32_t kGenericReadWrite = 0xC0000000u;
inline constexpr std::uint32_t kShareNone = 0;
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr std::uint32_t kFileAttributeNormal = 0x80;

// Device control codes of the kernel driver (device type 0xD053,
// METHOD_BUFFERED, FILE_ANY_ACCESS, functions 0x800 and 0x801).
inline constexpr std::uint32_t kIoctlMapCardMemory = 0xD0532000u;
inline constexpr std::uint32_t kIoctlUnmapCardMemory = 0xD0532004u;

// Input of the map control call: 24 bytes, six little-endian words.
struct MapRequest {
    std::uint32_t interfaceType; // 1 = ISA
    std::uint32_t busNumber;     // 0
    std::uint32_t addressLow;    // physical address of the card memory
    std::uint32_t addressHigh;   // 0
    std::uint32_t addressSpace;  // 0 = memory space
    std::uint32_t length;        // window length in bytes
};
static_assert(sizeof(MapRequest) == 24);

struct PlatformCalls {
    // CreateFileA(path, access, shareMode, no security, disposition, flags,
    // no template); kInvalidDevice on failure.
    DeviceHandle (*openDevice)(const char *path, std::uint32_t access, std::uint32_t shareMode,
                               std::uint32_t disposition, std::uint32_t flags);
    // DeviceIoControl without overlapped I/O; nonzero on success.
    int (*deviceControl)(DeviceHandle device, std::uint32_t code, const void *in, std::uint32_t inSize,
                         void *out, std::uint32_t outSize, std::uint32_t *bytesReturned);
    // CloseHandle; nonzero on success.
    int (*closeHandle)(DeviceHandle device);
    // GetTickCount: milliseconds, wrapping at 2^32.
    std::uint32_t (*tickCount)();
    // Sleep.
    void (*sleepMs)(std::uint32_t ms);
};

// The calls in force: the operating system's, unless a test replaced them.
const PlatformCalls &Platform();

// Replaces the calls (tests); nullptr restores the operating system's.
void SetPlatform(const PlatformCalls *calls);

// The operating system's calls of this build.
const PlatformCalls &SystemPlatform();

// Path of the kernel driver device that OpenDriver opens.
const char *DevicePath();

} // namespace orvtiw
