// Every message text of the adapter link, in one place.
#pragma once

namespace orvtiw::msg {

// Kernel driver and card window.
inline constexpr char kErrorOpeningDriver[] = "ORV%02d: TIW: Error opening GRELMIN driver";
inline constexpr char kMapWhenNotOpen[] = "ORV%02d: TIW: Attempt to map card memory when GRLEMIN not open";
inline constexpr char kFailedToMap[] = "ORV%02d: TIW: Failed to map card memory";

// Mailbox exchange.
inline constexpr char kResetNoAnswer[] = "ORV%02d: TIW: Host Adapter Reset, Card didn't respond to reset";
inline constexpr char kSendNotOpen[] = "ORV%02d: TIW: SendStr() GRELMIN not open";
inline constexpr char kSendBadLength[] = "ORV%02d: TIW: SendStr() Request length %d does not fit the mailbox";
inline constexpr char kPreviousNotCleared[] = "ORV%02d: TIW: Host Adapter did not clear from previous command";
inline constexpr char kNoAcknowledge[] = "ORV%02d: TIW: Host Adapter did not acknowledge command";
inline constexpr char kRecvNotOpen[] = "ORV%02d: TIW: RecvStr() GRELMIN not open";
inline constexpr char kReplyTimeout[] = "ORV%02d: TIW: Timeout Waiting for response from Host Adapter";
inline constexpr char kReplyTruncated[] = "ORV%02d: TIW: Received reponse too big for buffer, truncated";

} // namespace orvtiw::msg
