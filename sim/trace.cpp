#include "trace.h"

#include <cstdarg>
#include <cstdio>

#include "controller.h"
#include "reply_codes.h"

namespace tiwaysim {
namespace {

// At most this many data bytes are shown; a full block would swamp the line.
constexpr std::size_t kShownData = 16;

[[gnu::format(printf, 2, 3)]] void Append(std::string &s, const char *format, ...) {
    char buf[96];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    s += buf;
}

void AppendBytes(std::string &s, const std::vector<std::uint8_t> &bytes, std::size_t from) {
    for (std::size_t i = from; i < bytes.size() && i < from + kShownData; ++i) {
        Append(s, "%02X", bytes[i]);
    }
    if (bytes.size() > from + kShownData) {
        s += "...";
    }
}

unsigned BE16(const std::vector<std::uint8_t> &b, std::size_t at) {
    return at + 1 < b.size() ? static_cast<unsigned>(b[at] << 8 | b[at + 1]) : 0u;
}

std::string Type(std::uint8_t code) {
    std::string s = TypeName(code);
    char buf[8];
    std::snprintf(buf, sizeof buf, "(%02X)", code);
    return s + buf;
}

void DescribeRequest(std::string &s, const std::vector<std::uint8_t> &r) {
    if (r.empty()) {
        s += "empty request";
        return;
    }
    switch (r[0]) {
    case kCmdConnect:
        Append(s, "connect sec %u", r.size() > 1 ? r[1] : 0u);
        return;
    case kCmdControl:
        s += r.size() > 1 && r[1] == kCtlListConnected ? "list connected" : "control";
        return;
    case kCmdPrimitive:
        break;
    default:
        s += "command";
        for (std::uint8_t b : r) {
            Append(s, " %02X", b);
        }
        return;
    }
    if (r.size() < 6) {
        s += "prim (short)";
        return;
    }
    Append(s, "prim sec %u ", r[1]);
    if (r[4] == kPrimReadBlock) {
        s += "read " + Type(r[5]);
        Append(s, " elem %u count %u", BE16(r, 8), BE16(r, 6));
    } else if (r[4] == kPrimWriteBlock) {
        s += "write " + Type(r[5]);
        Append(s, " elem %u data ", BE16(r, 6));
        AppendBytes(s, r, 8);
    } else {
        Append(s, "code %02X", r[4]);
    }
}

void DescribeReply(std::string &s, const Exchange &e) {
    switch (e.outcome) {
    case Exchange::Outcome::Lost:
        s += " -> lost (accepted, no reply)";
        return;
    case Exchange::Outcome::Swallowed:
        s += " -> swallowed (accepted, never answered)";
        return;
    case Exchange::Outcome::Replied:
        break;
    }
    const auto &r = e.reply;
    if (r.empty()) {
        s += " -> empty reply";
    } else if (r[0] == kKindMhiuError) {
        Append(s, " -> kind 0 MHIU error 0x%04X", BE16(r, 1));
    } else if (r[0] == kKindPrimitive) {
        if (r.size() > 4 && r[3] == 0) {
            Append(s, " -> kind 1 primitive error 0x%04X", BE16(r, 3));
        } else {
            s += " -> kind 1 ok";
            if (!e.request.empty() && e.request.size() > 4 && e.request[4] == kPrimReadBlock && r.size() > 6) {
                s += " data ";
                AppendBytes(s, r, 6);
            }
        }
    } else {
        Append(s, " -> kind %u", r[0]);
        if (r.size() > 1) {
            s += " ";
            AppendBytes(s, r, 1);
        }
    }
    if (e.replySizeField != r.size()) {
        Append(s, " (replySize forced to %u)", e.replySizeField);
    }
}

} // namespace

std::string DescribeExchange(const Exchange &e) {
    std::string s;
    DescribeRequest(s, e.request);
    DescribeReply(s, e);
    return s;
}

} // namespace tiwaysim
