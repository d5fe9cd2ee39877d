// The per-channel record that the host allocates and the driver keeps all
// channel state in. It is cleared with a byte fill, so it stays a plain,
// packed, trivially copyable record with no pointers to memory of ours.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "orvtiw/host_abi.h"

namespace orvtiw {

// A kernel driver handle as the platform gives it; a Windows HANDLE fits,
// and so does a POSIX file descriptor.
using DeviceHandle = std::intptr_t;
inline constexpr DeviceHandle kInvalidDevice = -1;

inline constexpr int kRequestBufferSize = 512;
inline constexpr int kReplyBufferSize = 512;
inline constexpr int kSecondaryCount = 32;
inline constexpr int kRegionCount = 26;

#pragma pack(push, 1)

struct RegionDef {
    std::uint8_t tt;          // TIWAY data-type code of the region
    std::int32_t elementBits; // 8, 16 or 32
    std::int32_t multiple;    // 0 undefined, 1 single, 2 double (16-bit pairs)
};

using RegionTable = RegionDef[kRegionCount];
using SecondaryFlags = std::uint8_t[kSecondaryCount];
using RequestBuffer = std::uint8_t[kRequestBufferSize];
using ReplyBuffer = std::uint8_t[kReplyBufferSize];

struct Instance {
    std::uint32_t channel;
    std::uint32_t online;
    std::int32_t replyTimeout; // milliseconds
    DeviceHandle device;
    std::int32_t requestLength;
    std::int32_t replyLength;
    RequestBuffer request;
    ReplyBuffer reply;
    SecondaryFlags secondaryInUse;
    std::uint16_t cardSegment;
    std::uint16_t cardWindowSize;
    std::uint8_t *window;
    RegionTable regions;
    std::uint8_t blockParse;
};

#pragma pack(pop)

static_assert(sizeof(RegionDef) == 9);
static_assert(std::is_trivially_copyable_v<Instance> && std::is_standard_layout_v<Instance>);

// The host allocates exactly this many bytes per channel (operation 14), and
// the driver never touches a byte beyond it.
inline constexpr std::int32_t kNominalInstanceSize = 1326;
inline constexpr std::int32_t kInstanceSize =
    sizeof(Instance) > static_cast<std::size_t>(kNominalInstanceSize)
        ? static_cast<std::int32_t>(sizeof(Instance))
        : kNominalInstanceSize;

#if INTPTR_MAX == INT32_MAX
static_assert(sizeof(Instance) <= 1326, "a 32-bit Instance must fit the size the host allocates");
static_assert(kInstanceSize == 1326);
#endif

inline Instance *InstanceOf(const CallRecord *call) {
    return static_cast<Instance *>(call->instance);
}

// The channel number as every message prints it.
inline int ChannelOf(const Instance &inst) {
    return static_cast<int>(inst.channel);
}

// The region entry of an upper-case letter 'A'..'Z'.
inline RegionDef &RegionOf(Instance &inst, int letter) {
    return inst.regions[letter - 'A'];
}

inline bool IsRegionLetter(int letter) {
    return letter >= 'A' && letter <= 'Z';
}

} // namespace orvtiw
