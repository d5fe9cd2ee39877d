// Every message text of the start-up and link operations, in one place.
#pragma once

namespace orvtiw::msg {

// Cold and warm start.
inline constexpr char kVersion[] = "ORV%02d: TIW: Version 7.00 Built %s %s";
inline constexpr char kInitFileDefaults[] = "ORV%02d: TIW: ColdStart(): Failed to read init file, using defaults";
inline constexpr char kOpenCardFailed[] = "ORV%02d: TIW: ColdStart(): Failed to open card at 0x%04X";
inline constexpr char kLoaded[] = "ORV%02d: TIW: ColdStart(): TIWAY Host Adapter Driver loaded successfully";
inline constexpr char kColdStartFail[] = "ORV%02d: TIW: ColdStart(): Fail rc = %d ";
inline constexpr char kWarmReopen[] = "ORV%02d: TIW: Warm Start reopen Com";
inline constexpr char kWarmOpened[] = "ORV%02d: TIW: Warm Start Com opened";
inline constexpr char kWarmConfigured[] = "ORV%02d: TIW: Configure adapter rc=%d, Addr: %d";

// Opening the link.
inline constexpr char kOpenComNoDriver[] = "ORV%02d: TIW: OpenCom() Unable to open GRELMIN driver";
inline constexpr char kOpenComNoMap[] = "ORV%02d: TIW: OpenCom() Unable to map card shared memory address";
inline constexpr char kOpenComWindowTooSmall[] =
    "ORV%02d: TIW: OpenCom() Card window size 0x%04X is below the 0x400 bytes of the mailbox";

} // namespace orvtiw::msg
