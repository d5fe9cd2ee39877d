// Where a failed call's fault lies, from the formats of the lines the driver
// logged during it. The formats are the driver's own message constants, so
// a host never depends on how a message happens to be worded.
#include <array>
#include <cstdlib>
#include <string_view>

#include "addressing/messages.h"
#include "host/messages.h"
#include "link/messages.h"
#include "orvtiw/host.h"
#include "tiway/messages.h"

namespace orvtiw::host {
namespace {

constexpr std::string_view kPrefixEnd = "TIW: ";

// The card did not take or answer a request, or its link is not open.
constexpr std::array<const char *, 13> kCardFormats{{
    msg::kPreviousNotCleared,
    msg::kNoAcknowledge,
    msg::kReplyTimeout,
    msg::kSendNotOpen,
    msg::kRecvNotOpen,
    msg::kResetNoAnswer,
    msg::kErrorOpeningDriver,
    msg::kMapWhenNotOpen,
    msg::kFailedToMap,
    msg::kOpenComNoDriver,
    msg::kOpenComNoMap,
    msg::kOpenComWindowTooSmall,
    msg::kOpenCardFailed,
}};

// The adapter answered, and could not carry the request to the secondary.
constexpr std::array<const char *, 3> kSecondaryFormats{{
    msg::kMhiuError,
    msg::kSecondaryNotConnected,
    msg::kReconnectFailed,
}};

// The controller answered: with a refusal, or with a reply that does not fit the request.
constexpr std::array<const char *, 3> kControllerFormats{{
    msg::kPrimitiveError,
    msg::kReplyTooShort,
    msg::kReplyTruncated,
}};

// The two formats whose last argument is the code the failure carries.
bool CarriesCode(std::string_view format) {
    return format == msg::kMhiuError || format == msg::kPrimitiveError;
}

template <std::size_t N> bool OneOf(const std::array<const char *, N> &formats, std::string_view format) {
    for (const char *f : formats) {
        if (format == f) {
            return true;
        }
    }
    return false;
}

FailureKind KindOf(std::string_view format) {
    if (OneOf(kCardFormats, format)) {
        return FailureKind::CardNotAnswering;
    }
    if (OneOf(kSecondaryFormats, format)) {
        return FailureKind::SecondaryUnreachable;
    }
    if (OneOf(kControllerFormats, format)) {
        return FailureKind::ControllerRefusal;
    }
    return FailureKind::None;
}

// Wider faults explain narrower ones: a card that stops answering while
// the driver reconnects a refused block's secondary is still the card.
int Width(FailureKind kind) {
    switch (kind) {
    case FailureKind::CardNotAnswering:
        return 3;
    case FailureKind::SecondaryUnreachable:
        return 2;
    case FailureKind::ControllerRefusal:
        return 1;
    default:
        return 0;
    }
}

// The four hex digits both code-carrying formats end with.
std::uint16_t TrailingCode(const std::string &text) {
    if (text.size() < 4) {
        return 0;
    }
    const std::string digits = text.substr(text.size() - 4);
    char *end = nullptr;
    const unsigned long value = std::strtoul(digits.c_str(), &end, 16);
    return end != nullptr && *end == '\0' ? static_cast<std::uint16_t>(value) : 0;
}

std::string WithoutPrefix(const std::string &text) {
    const std::size_t at = text.find(kPrefixEnd);
    return at == std::string::npos ? text : text.substr(at + kPrefixEnd.size());
}

} // namespace

Failure ClassifyFailure(const Result &result) {
    Failure f;
    if (result.ok()) {
        return f;
    }
    if (!result.problem.empty() || result.status != ORV_STATUS_COMM_FAILURE) {
        // Refused by this library, or by the driver before any exchange.
        f.kind = FailureKind::RecordRefused;
        f.text = result.Describe();
        for (const LogLine &line : result.log) {
            if (line.format != msg::kParserEntered && !line.format.empty()) {
                f.text = WithoutPrefix(line.text);
                break;
            }
        }
        return f;
    }
    for (const LogLine &line : result.log) {
        const FailureKind kind = KindOf(line.format);
        if (Width(kind) > Width(f.kind)) {
            f.kind = kind;
            f.text = WithoutPrefix(line.text);
            f.code = CarriesCode(line.format) ? TrailingCode(line.text) : 0;
        }
    }
    if (f.kind == FailureKind::None) {
        f.kind = FailureKind::CardNotAnswering;
        f.text = result.Describe();
    }
    return f;
}

const char *FailureMeaning(FailureKind kind) {
    switch (kind) {
    case FailureKind::None:
        return "no failure";
    case FailureKind::CardNotAnswering:
        return "the card is not answering";
    case FailureKind::SecondaryUnreachable:
        return "the secondary cannot be reached";
    case FailureKind::ControllerRefusal:
        return "the controller refused the request";
    case FailureKind::RecordRefused:
        return "the request was refused before any exchange";
    }
    return "unknown";
}

} // namespace orvtiw::host
