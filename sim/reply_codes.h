// The codes and reply kinds the simulated adapter answers with.
#pragma once

#include <cstdint>

namespace tiwaysim {

// First reply byte.
inline constexpr std::uint8_t kKindMhiuError = 0;
inline constexpr std::uint8_t kKindPrimitive = 1;
inline constexpr std::uint8_t kKindOk = 2; // any kind but 0 and 1 means "no error" to the driver

// MHIU error codes (kind 0, BE16).
inline constexpr std::uint16_t kMhiuUnknownCommand = 0x0101;
inline constexpr std::uint16_t kMhiuNoSuchSecondary = 0x0102;   // not on the network, or not 1..31
inline constexpr std::uint16_t kMhiuNotConnected = 0x0103;
inline constexpr std::uint16_t kMhiuSecondaryNoAnswer = 0x0104; // on the network but disconnected
inline constexpr std::uint16_t kMhiuMalformed = 0x0105;         // lengths do not add up
inline constexpr std::uint16_t kMhiuConfigRejected = 0x0106;

// Primitive error codes (kind 1, status byte 0, code in the next byte).
inline constexpr std::uint8_t kPrimUndefinedType = 0x01;
inline constexpr std::uint8_t kPrimAddressRange = 0x02;
inline constexpr std::uint8_t kPrimMalformed = 0x03;
inline constexpr std::uint8_t kPrimUnknownPrimitive = 0x04;
inline constexpr std::uint8_t kPrimBlockTooLong = 0x05;

// MHIU commands and TIWAY primitives.
inline constexpr std::uint8_t kCmdControl = 0x00; // with 0x06: list connected secondaries
inline constexpr std::uint8_t kCtlListConnected = 0x06;
inline constexpr std::uint8_t kCmdPrimitive = 0x01;
inline constexpr std::uint8_t kCmdConnect = 0x04;
inline constexpr std::uint8_t kPrimReadBlock = 0x20;
inline constexpr std::uint8_t kPrimWriteBlock = 0x30;

inline constexpr int kMinSecondary = 1;
inline constexpr int kMaxSecondary = 31;

} // namespace tiwaysim
