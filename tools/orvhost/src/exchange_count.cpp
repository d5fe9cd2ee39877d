#include "exchange_count.h"

#include <array>
#include <string_view>

#include "addressing/messages.h"
#include "link/messages.h"
#include "tiway/messages.h"

namespace orvhost {
namespace {

// An attempt that ended without the values: the exchange failed, or its
// reply was too short.
constexpr std::array<const char *, 6> kAttemptFailed{{
    orvtiw::msg::kSendNotOpen,
    orvtiw::msg::kPreviousNotCleared,
    orvtiw::msg::kNoAcknowledge,
    orvtiw::msg::kRecvNotOpen,
    orvtiw::msg::kReplyTimeout,
    orvtiw::msg::kReplyTooShort,
}};

bool OneOf(std::string_view format, const std::array<const char *, 6> &formats) {
    for (const char *f : formats) {
        if (format == f) {
            return true;
        }
    }
    return false;
}

} // namespace

int CheckExchanges(const orvtiw::host::Result &check, bool firstOfSecondary) {
    if (!firstOfSecondary) {
        return 0;
    }
    // A block refused for its size was accepted, and connected, first.
    bool accepted = check.ok();
    for (const auto &line : check.log) {
        accepted = accepted || line.format == orvtiw::msg::kBlockTooBig;
    }
    return accepted ? 1 : 0;
}

int ReadExchanges(const orvtiw::host::Result &read) {
    int exchanges = 0;
    bool connecting = false; // between an error reply and the reconnection's verdict
    for (const auto &line : read.log) {
        const std::string_view format = line.format;
        if (connecting) {
            // The reconnection's own failure lines belong to its one exchange.
            if (format == orvtiw::msg::kReconnectFailed || format == orvtiw::msg::kReconnectSucceeded) {
                ++exchanges;
                connecting = false;
            }
        } else if (format == orvtiw::msg::kMhiuError || format == orvtiw::msg::kPrimitiveError) {
            ++exchanges;
            connecting = true;
        } else if (OneOf(format, kAttemptFailed)) {
            ++exchanges;
        }
    }
    if (read.ok()) {
        ++exchanges; // the attempt that brought the values logs nothing
    }
    return exchanges;
}

} // namespace orvhost
