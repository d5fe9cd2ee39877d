// Compile-time checks of the record layouts that hosts and the kernel driver
// rely on. A 32-bit host fills and reads these records at fixed byte offsets,
// so any drift in the header must stop the 32-bit build, not a channel.
#include <cstddef>
#include <cstdint>

#include "channel/instance.h"
#include "link/platform.h"
#include "orvtiw/host_abi.h"

namespace orvtiw {

// The kernel driver takes six little-endian words on every architecture.
static_assert(sizeof(MapRequest) == 24);
static_assert(offsetof(MapRequest, interfaceType) == 0);
static_assert(offsetof(MapRequest, busNumber) == 4);
static_assert(offsetof(MapRequest, addressLow) == 8);
static_assert(offsetof(MapRequest, addressHigh) == 12);
static_assert(offsetof(MapRequest, addressSpace) == 16);
static_assert(offsetof(MapRequest, length) == 20);

#if INTPTR_MAX == INT32_MAX

static_assert(sizeof(void *) == 4 && sizeof(DeviceHandle) == 4);

static_assert(offsetof(CallRecord, instance) == 0);
static_assert(offsetof(CallRecord, op) == 4);
static_assert(offsetof(CallRecord, channel) == 8);
static_assert(offsetof(CallRecord, reserved12) == 12);
static_assert(offsetof(CallRecord, params) == 16);
static_assert(sizeof(CallRecord) == 20);

static_assert(offsetof(InfoRecord, hostConstant0) == 0);
static_assert(offsetof(InfoRecord, driverName) == 4);
static_assert(offsetof(InfoRecord, banner) == 8);
static_assert(offsetof(InfoRecord, instanceSize) == 12);
static_assert(offsetof(InfoRecord, hostConstant16) == 16);
static_assert(offsetof(InfoRecord, reserved20) == 20);
static_assert(offsetof(InfoRecord, reserved24) == 24);
static_assert(offsetof(InfoRecord, hostConstant28) == 28);
static_assert(sizeof(InfoRecord) == 32);

static_assert(offsetof(TimeoutRecord, timeout) == 12);

static_assert(offsetof(StartRecord, online) == 12);
static_assert(offsetof(StartRecord, timeout) == 16);

static_assert(offsetof(WarmStartRecord, address) == 0);

static_assert(offsetof(AddressRecord, text) == 0);
static_assert(offsetof(AddressRecord, reserved4) == 4);
static_assert(offsetof(AddressRecord, gateType) == 8);
static_assert(offsetof(AddressRecord, count) == 12);
static_assert(offsetof(AddressRecord, plcAddress) == 16);
static_assert(offsetof(AddressRecord, regionId) == 20);
static_assert(offsetof(AddressRecord, elementNumber) == 24);
static_assert(offsetof(AddressRecord, bitNumber) == 28);
static_assert(offsetof(AddressRecord, width) == 32);

static_assert(offsetof(TransferRecord, plcAddress) == 8);
static_assert(offsetof(TransferRecord, regionId) == 12);
static_assert(offsetof(TransferRecord, elementNumber) == 16);
static_assert(offsetof(TransferRecord, bitNumber) == 20);
static_assert(offsetof(TransferRecord, width) == 24);
static_assert(offsetof(TransferRecord, count) == 32);
static_assert(offsetof(TransferRecord, data) == 40);

// The host allocates what operation 14 reports; on 32 bits that is the fixed
// 1326 bytes, and the whole Instance must fit in them.
static_assert(sizeof(Instance) <= 1326);
static_assert(kInstanceSize == 1326);

#else

// On 64 bits the pointers widen; the host allocates the larger real size.
static_assert(sizeof(void *) == 8);
static_assert(kInstanceSize == static_cast<std::int32_t>(sizeof(Instance)));
static_assert(kInstanceSize > kNominalInstanceSize);

#endif

} // namespace orvtiw
