// The one-line text commands that change a running card's fault switches
// (tiwaysim's control channel):
//
//   no-reset on|off         never answer a reset
//   drop-ack on|off         never accept a request
//   ack-no-reply on|off     accept a request, never answer it
//   delay MS                answer this long after accepting (0: at once)
//   keep-command on|off     leave hostCommand at 0xC1 after a reply is taken
//   reply-size N|off        write N as replySize instead of the true count
//   fail-next N             lose the next N requests (accepted, taken, no reply)
//   mhiu-error CODE|off     answer every request with this MHIU error
//   primitive-error CODE|off  answer every primitive with this primitive error
//   disconnect A / reconnect A  secondary A stops / starts answering the adapter
//   reset-forgets on|off    a reset clears the adapter configuration
//   fail-config N no-reply|mhiu [CODE] / fail-config off
//   clear                   every switch back to normal
//   status                  the switches in force
//
// and, for one card as a whole (ApplyCardControl):
//
//   configured on|off       the adapter holds its network configuration, or not
//   line-rate BPS|off       the line to the controllers carries BPS bits per second
//   region A CODE COUNT     secondary A's region CODE now holds COUNT elements (a changed program)
//   value A CODE ELEMENT V...  secondary A's region CODE holds V... from ELEMENT on (its program wrote them)
//   read A CODE ELEMENT [COUNT] [float]  the values the region holds from ELEMENT on
//   disconnect A / reconnect A  as above, refused for a secondary the card does not have
//   counts                  the resets answered and the requests taken since the card came up
//   status                  the switches in force and the line rate
#pragma once

#include <string>
#include <string_view>

#include "adapter.h"
#include "fault_switches.h"

namespace tiwaysim {

// Applies `command` to `faults`: "ok", the status text, or "error: ...";
// an error leaves `faults` unchanged.
std::string ApplyControl(std::string_view command, FaultSwitches &faults);

// Applies `command` to one card: the commands that change the adapter's own
// state, and the fault switches (ApplyControl) for everything else.
std::string ApplyCardControl(std::string_view command, Card &card, Adapter &adapter);

// The line rates a card accepts: from a slow modem line to well beyond any
// serial line, so that no exchange takes longer than about half a minute.
inline constexpr std::uint32_t kMinLineRate = 300;
inline constexpr std::uint32_t kMaxLineRate = 10000000;

// The switches in force, on one line ("normal" when none is set).
std::string DescribeFaults(const FaultSwitches &faults);

} // namespace tiwaysim
