#include "failure.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace orvgate {
namespace {

constexpr int kErrorLevel = 32;
constexpr char kPrefixEnd[] = "TIW: ";

// The driver's own texts (after the prefix) that tell a dead card from a
// secondary the adapter cannot reach.
constexpr std::array<const char *, 5> kLinkTexts{{
    "Host Adapter did not clear from previous command",
    "Host Adapter did not acknowledge command",
    "Timeout Waiting for response from Host Adapter",
    "SendStr() GRELMIN not open",
    "RecvStr() GRELMIN not open",
}};
constexpr char kMhiuText[] = "CheckReply() - MHIU Error: 0x";
constexpr char kPrimitiveText[] = "CheckReply() - primitive error: 0x";
constexpr char kNotConnectedText[] = "Failed to connect secondary devices";

std::string WithoutPrefix(const std::string &text) {
    const std::size_t at = text.find(kPrefixEnd);
    return at == std::string::npos ? text : text.substr(at + sizeof kPrefixEnd - 1);
}

std::uint16_t CodeAfter(const std::string &text, const char *needle) {
    const std::size_t at = text.find(needle);
    if (at == std::string::npos) {
        return 0;
    }
    const std::string digits = text.substr(at + std::char_traits<char>::length(needle), 4);
    return static_cast<std::uint16_t>(std::strtoul(digits.c_str(), nullptr, 16));
}

} // namespace

Failure Classify(const orvtiw::host::Result &result) {
    Failure f;
    f.status = result.status;
    bool link = false;
    bool secondary = false;
    for (const orvtiw::host::LogLine &line : result.log) {
        if (line.level != kErrorLevel) {
            continue;
        }
        const std::string text = WithoutPrefix(line.text);
        if (f.text.empty()) {
            f.text = text;
        }
        link = link || std::any_of(kLinkTexts.begin(), kLinkTexts.end(),
                                   [&](const char *t) { return text.find(t) != std::string::npos; });
        if (text.find(kMhiuText) != std::string::npos) {
            secondary = true;
            f.code = CodeAfter(text, kMhiuText);
        } else if (text.find(kPrimitiveText) != std::string::npos && f.code == 0) {
            f.code = CodeAfter(text, kPrimitiveText);
            f.kind = ErrorKind::Controller;
        }
        secondary = secondary || text.find(kNotConnectedText) != std::string::npos;
    }
    if (link) {
        f.scope = FailureScope::Link;
        f.kind = ErrorKind::Link;
        f.code = 0;
    } else if (secondary) {
        f.scope = FailureScope::Secondary;
        f.kind = ErrorKind::Adapter;
    } else if (f.kind != ErrorKind::Controller) {
        f.kind = ErrorKind::Other;
    }
    if (f.text.empty()) {
        f.text = result.Describe();
    }
    return f;
}

void RetrySchedule::Failed(Clock::time_point now) {
    wait_ = failures_ == 0 ? first_ : std::min(wait_ * 2, most_);
    next_ = now + wait_;
    ++failures_;
}

void RetrySchedule::Succeeded() {
    failures_ = 0;
    wait_ = Clock::duration(0);
}

} // namespace orvgate
