// The faults a simulated card can be told to show. A plain record: tests set
// its fields directly and tiwaysim's control channel changes them while the
// card runs (on the card's own thread, so no locking is needed).
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>

namespace tiwaysim {

// How a configuration command chosen to fail fails.
enum class ConfigFailure : std::uint8_t { NoReply, MhiuError };

struct FaultSwitches {
    // Handshake faults.
    bool noReset = false;       // a reset command is never answered
    bool dropAck = false;       // a posted request is neither accepted nor answered
    bool ackNoReply = false;    // a request is accepted and then never answered
    std::uint32_t replyDelayMs = 0; // the reply follows acceptance after this long
    bool keepCommand = false;   // hostCommand is left at 0xC1 after a reply is taken
    std::optional<std::uint16_t> forcedReplySize; // written as replySize instead of the true count
    std::uint32_t failNext = 0; // the next N requests are accepted, taken and lost without a reply

    // Adapter and network faults.
    std::optional<std::uint16_t> mhiuError;     // every request gets this MHIU error
    std::optional<std::uint8_t> primitiveError; // every primitive gets this primitive error
    std::bitset<32> disconnected;               // secondaries that stopped answering the adapter
    bool resetForgetsConfig = false;            // a reset clears the adapter configuration
    int failConfigCommand = 0;                  // 1..4: that configuration command fails; 0: none
    ConfigFailure configFailure = ConfigFailure::NoReply;
    std::uint16_t configErrorCode = 0x0106;     // the MHIU error of a failing configuration command
};

} // namespace tiwaysim
