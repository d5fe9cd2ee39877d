// Operations 14 and 15, which belong to the module as a whole.
#pragma once

#include <cstdint>

#include "orvtiw/host_abi.h"

namespace orvtiw {

inline constexpr char kDriverName[] = "TW TIWAY Host Adapter";
inline constexpr int kBannerLength = 379;
extern const char kBanner[kBannerLength + 1];

// Ten times a count of 10 ms units, saturated at the largest 32-bit value.
std::int32_t TimeoutTenfold(std::int32_t units);

int GetDriverInfo(CallRecord *call);
int SetTimeout(CallRecord *call);

} // namespace orvtiw
