// The shared-memory mailbox at the start of the card window, and the single
// request/reply exchange that every adapter command goes through.
#pragma once

#include <cstdint>

#include "channel/instance.h"
#include "channel/status.h"

namespace orvtiw {

// Byte offsets from the start of the card window.
struct Mailbox {
    static constexpr int kRequestSize = 32;   // u16 BE, written by the host
    static constexpr int kRequestData = 34;   // request bytes
    static constexpr int kRequestRoom = 466;  // offsets 34..499
    static constexpr int kReplySize = 500;    // u16 BE, written by the card
    static constexpr int kReplyData = 502;    // reply bytes
    static constexpr int kReplyRoom = 520;    // offsets 502..1021
    static constexpr int kCardStatus = 1022;  // written by the card
    static constexpr int kHostCommand = 1023; // written by the host
    static constexpr int kSize = 1024;        // the mailbox needs this much window
};

// Handshake values.
inline constexpr std::uint8_t kCommandIdle = 0x00;
inline constexpr std::uint8_t kCommandReset = 0x01;
inline constexpr std::uint8_t kCommandRequest = 0x40;    // '@'
inline constexpr std::uint8_t kCommandReplyTaken = 0xC1;
inline constexpr std::uint8_t kStatusCleared = 0x00;
inline constexpr std::uint8_t kStatusResetDone = 0x21;  // '!'
inline constexpr std::uint8_t kStatusAccepted = 0xC0;
inline constexpr std::uint8_t kStatusReplyReady = 0x41; // 'A'

// Timing, in milliseconds.
inline constexpr std::uint32_t kResetPauseMs = 1000;
inline constexpr std::uint32_t kResetWaitMs = 20000;
inline constexpr std::uint32_t kPreviousCommandWaitMs = 250;
inline constexpr std::uint32_t kPollIntervalMs = 1;

// 1 when more than `limit` ms have passed since `start` (unsigned, so the
// wrap of the tick count after 2^32 ms does not matter).
int TimeElapsed(std::uint32_t start, std::uint32_t limit);

// 1 when the card answered the reset with '!', else 0.
Done ResetAdapter(Instance &inst);

// 1 when the request was posted and the card accepted it, else 0.
Done SendStr(Instance &inst);

// 1 when a reply was taken into inst.reply, else 0.
Done RecvStr(Instance &inst);

// 0 when the request went out and a reply came back, else -1.
Exchange Transact(Instance &inst);

} // namespace orvtiw
