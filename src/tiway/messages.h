// Every message text of the TIWAY transactions, in one place.
#pragma once

namespace orvtiw::msg {

// Replies.
inline constexpr char kMhiuError[] = "ORV%02d: TIW: CheckReply() - MHIU Error: 0x%04X";
inline constexpr char kPrimitiveError[] = "ORV%02d: TIW: CheckReply() - primitive error: 0x%04X";

// Secondary connections.
inline constexpr char kSecondaryNotConnected[] = "ORV%02d: TIW: Secondary %d failed to connect!";
inline constexpr char kReconnectFailed[] = "ORV%02d: TIW: ReconnectSecondarys(): Failed to connect secondary devices: %02X";
inline constexpr char kReconnectSucceeded[] =
    "ORV%02d: TIW: ReconnectSecondarys(): Succeed to connect secondary devices: %02X";

// Adapter configuration.
inline constexpr char kConfigureFail[] = "ORV%02d: TIW: ConfigureAdapter(): fail rc = %d";

// Reads and writes.
inline constexpr char kReplyTooShort[] =
    "ORV%02d: TIW: ReadBlock() Reply holds %d data bytes, %d expected";

// Transfer records refused before any exchange.
inline constexpr char kTransferBlockTooBig[] = "ORV%02d: TIW: Block size exceed maximum message size";
inline constexpr char kTransferBadRegion[] = "ORV%02d: TIW: Invalid Data Region Id 0x%X in transfer record";
inline constexpr char kTransferBadSecondary[] = "ORV%02d: TIW: Invalid PLC address %d in transfer record";
inline constexpr char kTransferBadBit[] = "ORV%02d: TIW: Invalid bit number %d in transfer record";
inline constexpr char kTransferBitBlock[] = "ORV%02d: TIW: Bit number %d given for a read of %d elements in transfer record";
inline constexpr char kTransferBadWidth[] = "ORV%02d: TIW: Invalid width %d for data region %c in transfer record";
inline constexpr char kTransferBadElement[] = "ORV%02d: TIW: Invalid element number %d in transfer record";
inline constexpr char kTransferNoBuffer[] = "ORV%02d: TIW: No value buffer in transfer record";

} // namespace orvtiw::msg
