#include "control_commands.h"

#include <cstdio>
#include <span>
#include <vector>

#include "element_values.h"
#include "reply_codes.h"
#include "text_fields.h"

using orvtiw::text::ParseNumber;
using orvtiw::text::ParseSwitch;
using orvtiw::text::SplitFields;

namespace tiwaysim {
namespace {

using Fields = std::vector<std::string_view>;

// The longest delay or count a command may set: an hour, a million requests.
constexpr std::uint32_t kMaxDelayMs = 3600000;
constexpr std::uint32_t kMaxFailNext = 1000000;
// Values one read answers: what one line of the control socket carries.
constexpr std::uint32_t kMaxReadValues = 256;

// What status answers when no switch is set.
constexpr const char *kNormal = "normal";

std::string Usage(std::string_view name, const char *form) {
    return "error: usage: " + std::string(name) + " " + form;
}

bool SetBool(const Fields &f, bool &target) {
    const auto v = f.size() == 2 ? ParseSwitch(f[1]) : std::nullopt;
    if (v) {
        target = *v;
    }
    return v.has_value();
}

template <typename T> bool SetOptional(const Fields &f, std::optional<T> &target, std::uint32_t max) {
    if (f.size() != 2) {
        return false;
    }
    if (f[1] == "off") {
        target.reset();
        return true;
    }
    const auto v = ParseNumber(f[1], max);
    if (v) {
        target = static_cast<T>(*v);
    }
    return v.has_value();
}

bool SetSecondary(const Fields &f, FaultSwitches &faults, bool disconnected) {
    const auto a = f.size() == 2 ? ParseNumber(f[1], kMaxSecondary) : std::nullopt;
    if (!a || *a < kMinSecondary) {
        return false;
    }
    faults.disconnected.set(*a, disconnected);
    return true;
}

bool SetConfigFailure(const Fields &f, FaultSwitches &faults) {
    if (f.size() == 2 && f[1] == "off") {
        faults.failConfigCommand = 0;
        return true;
    }
    const auto n = f.size() >= 3 ? ParseNumber(f[1], 4) : std::nullopt;
    if (!n || *n < 1) {
        return false;
    }
    if (f.size() == 3 && f[2] == "no-reply") {
        faults.configFailure = ConfigFailure::NoReply;
    } else if ((f.size() == 3 || f.size() == 4) && f[2] == "mhiu") {
        const auto code = f.size() == 4 ? ParseNumber(f[3], 0xFFFF) : std::optional<std::uint32_t>(kMhiuConfigRejected);
        if (!code) {
            return false;
        }
        faults.configFailure = ConfigFailure::MhiuError;
        faults.configErrorCode = static_cast<std::uint16_t>(*code);
    } else {
        return false;
    }
    faults.failConfigCommand = static_cast<int>(*n);
    return true;
}

// The region of data-type CODE of the secondary at ADDRESS, or nullptr.
Region *FindRegion(Adapter &adapter, std::string_view address, std::string_view code) {
    const std::uint32_t a = ParseNumber(address, kMaxSecondary).value_or(0);
    const std::uint32_t c = ParseNumber(code, 0xFF).value_or(0);
    Controller *controller = adapter.network().At(static_cast<int>(a));
    return controller != nullptr ? controller->Find(static_cast<std::uint8_t>(c)) : nullptr;
}

} // namespace

std::string ApplyControl(std::string_view command, FaultSwitches &faults) {
    const Fields f = SplitFields(command);
    if (f.empty()) {
        return "error: empty command";
    }
    FaultSwitches next = faults;
    const std::string_view name = f[0];
    bool ok = false;
    const char *form = "";
    if (name == "no-reset") {
        ok = SetBool(f, next.noReset), form = "on|off";
    } else if (name == "drop-ack") {
        ok = SetBool(f, next.dropAck), form = "on|off";
    } else if (name == "ack-no-reply") {
        ok = SetBool(f, next.ackNoReply), form = "on|off";
    } else if (name == "keep-command") {
        ok = SetBool(f, next.keepCommand), form = "on|off";
    } else if (name == "reset-forgets") {
        ok = SetBool(f, next.resetForgetsConfig), form = "on|off";
    } else if (name == "delay") {
        const auto v = f.size() == 2 ? ParseNumber(f[1], kMaxDelayMs) : std::nullopt;
        ok = v.has_value(), form = "MS (0..3600000)";
        if (v) {
            next.replyDelayMs = *v;
        }
    } else if (name == "fail-next") {
        const auto v = f.size() == 2 ? ParseNumber(f[1], kMaxFailNext) : std::nullopt;
        ok = v.has_value(), form = "N";
        if (v) {
            next.failNext = *v;
        }
    } else if (name == "reply-size") {
        ok = SetOptional(f, next.forcedReplySize, 0xFFFF), form = "N(0..0xFFFF)|off";
    } else if (name == "mhiu-error") {
        ok = SetOptional(f, next.mhiuError, 0xFFFF), form = "CODE(0..0xFFFF)|off";
    } else if (name == "primitive-error") {
        ok = SetOptional(f, next.primitiveError, 0xFF), form = "CODE(0..0xFF)|off";
    } else if (name == "disconnect") {
        ok = SetSecondary(f, next, true), form = "ADDRESS(1..31)";
    } else if (name == "reconnect") {
        ok = SetSecondary(f, next, false), form = "ADDRESS(1..31)";
    } else if (name == "fail-config") {
        ok = SetConfigFailure(f, next), form = "N(1..4) no-reply|mhiu [CODE] | off";
    } else if (name == "clear") {
        ok = f.size() == 1, form = "";
        next = FaultSwitches{};
    } else if (name == "status") {
        return f.size() == 1 ? DescribeFaults(faults) : Usage(name, "");
    } else {
        return "error: unknown command '" + std::string(name) + "'";
    }
    if (!ok) {
        return Usage(name, form);
    }
    faults = next;
    return "ok";
}

std::string ApplyCardControl(std::string_view command, Card &card, Adapter &adapter) {
    const Fields f = SplitFields(command);
    if (f.empty()) {
        return ApplyControl(command, card.faults);
    }
    if (f[0] == "configured") {
        bool on = false;
        if (!SetBool(f, on)) {
            return Usage(f[0], "on|off");
        }
        adapter.SetConfigured(on);
        return "ok";
    }
    if (f[0] == "line-rate") {
        std::optional<std::uint32_t> rate;
        if (!SetOptional(f, rate, kMaxLineRate) || (rate && *rate < kMinLineRate)) {
            return Usage(f[0], "BPS(300..10000000)|off");
        }
        card.lineBitsPerSecond = rate.value_or(0);
        return "ok";
    }
    if (f[0] == "region") {
        // A controller whose program changed: one of its regions now holds
        // COUNT elements, those it kept keeping their values.
        const char *form = "ADDRESS CODE COUNT(1..65535) of an existing region";
        if (f.size() != 4) {
            return Usage(f[0], form);
        }
        const std::uint32_t count = ParseNumber(f[3], kMaxRegionElements).value_or(0);
        Region *r = FindRegion(adapter, f[1], f[2]);
        if (r == nullptr || count < 1) {
            return Usage(f[0], form);
        }
        r->bytes.resize(static_cast<std::size_t>(count) * r->elementBytes, 0);
        return "ok";
    }
    if (f[0] == "value") {
        // The controller's program writing its own memory: the change a
        // gateway's scan must find and pass on.
        const char *form = "ADDRESS CODE ELEMENT VALUE... of an existing region, each value fitting its element";
        Region *r = f.size() >= 5 ? FindRegion(adapter, f[1], f[2]) : nullptr;
        const std::uint32_t first = f.size() >= 5 ? ParseNumber(f[3], kMaxRegionElements).value_or(0) : 0;
        if (r == nullptr || first < 1) {
            return Usage(f[0], form);
        }
        std::string problem;
        const auto values = ParseElementValues(std::span(f).subspan(4), *r, problem);
        if (!values) {
            return "error: " + problem; // nothing written: all the values or none
        }
        if (!r->Covers(first, static_cast<std::uint32_t>(values->size()))) {
            return "error: the values run past element " + std::to_string(r->count()) + ", the region's last";
        }
        for (std::size_t i = 0; i < values->size(); ++i) {
            r->Set(first + static_cast<std::uint32_t>(i), (*values)[i]);
        }
        return "ok";
    }
    if (f[0] == "read") {
        // What the controller holds, without a driver in between.
        const char *form = "ADDRESS CODE ELEMENT [COUNT(1..256)] [float] of an existing region";
        const bool asFloat = f.size() >= 5 && f.back() == "float";
        const std::size_t words = f.size() - (asFloat ? 1 : 0);
        Region *r = words == 4 || words == 5 ? FindRegion(adapter, f[1], f[2]) : nullptr;
        const std::uint32_t first = words >= 4 ? ParseNumber(f[3], kMaxRegionElements).value_or(0) : 0;
        const std::uint32_t count = words == 5 ? ParseNumber(f[4], kMaxReadValues).value_or(0) : 1;
        if (r == nullptr || first < 1 || count < 1 || (asFloat && r->elementBytes == 1)) {
            return Usage(f[0], form);
        }
        if (!r->Covers(first, count * ElementsPerValue(*r, asFloat))) {
            return "error: the region ends at element " + std::to_string(r->count());
        }
        return FormatElementValues(*r, first, count, asFloat);
    }
    if ((f[0] == "disconnect" || f[0] == "reconnect") && f.size() == 2) {
        // A switch for a secondary nobody placed would answer "ok" and
        // change nothing a driver could see.
        const auto a = ParseNumber(f[1], kMaxSecondary);
        if (a && *a >= kMinSecondary && adapter.network().At(static_cast<int>(*a)) == nullptr) {
            return "error: no secondary " + std::to_string(*a) + " on this card";
        }
    }
    if (f[0] == "counts" && f.size() == 1) {
        return "resets " + std::to_string(card.resets()) + " requests " + std::to_string(card.requests());
    }
    if (f[0] == "status" && f.size() == 1) {
        std::string s = DescribeFaults(card.faults);
        if (card.lineBitsPerSecond != 0) {
            s = (s == kNormal ? "" : s + " ") + "line-rate " + std::to_string(card.lineBitsPerSecond);
        }
        return s;
    }
    return ApplyControl(command, card.faults);
}

std::string DescribeFaults(const FaultSwitches &f) {
    std::string s;
    char buf[64];
    auto add = [&s](const char *text) {
        s += s.empty() ? "" : " ";
        s += text;
    };
    if (f.noReset)
        add("no-reset");
    if (f.dropAck)
        add("drop-ack");
    if (f.ackNoReply)
        add("ack-no-reply");
    if (f.keepCommand)
        add("keep-command");
    if (f.resetForgetsConfig)
        add("reset-forgets");
    if (f.replyDelayMs != 0) {
        std::snprintf(buf, sizeof buf, "delay %u", f.replyDelayMs);
        add(buf);
    }
    if (f.failNext != 0) {
        std::snprintf(buf, sizeof buf, "fail-next %u", f.failNext);
        add(buf);
    }
    if (f.forcedReplySize) {
        std::snprintf(buf, sizeof buf, "reply-size %u", unsigned{*f.forcedReplySize});
        add(buf);
    }
    if (f.mhiuError) {
        std::snprintf(buf, sizeof buf, "mhiu-error 0x%04X", unsigned{*f.mhiuError});
        add(buf);
    }
    if (f.primitiveError) {
        std::snprintf(buf, sizeof buf, "primitive-error 0x%02X", unsigned{*f.primitiveError});
        add(buf);
    }
    for (unsigned a = kMinSecondary; a <= kMaxSecondary; ++a) {
        if (f.disconnected.test(a)) {
            std::snprintf(buf, sizeof buf, "disconnect %u", a);
            add(buf);
        }
    }
    if (f.failConfigCommand != 0) {
        if (f.configFailure == ConfigFailure::NoReply) {
            std::snprintf(buf, sizeof buf, "fail-config %d no-reply", f.failConfigCommand);
        } else {
            std::snprintf(buf, sizeof buf, "fail-config %d mhiu 0x%04X", f.failConfigCommand,
                          unsigned{f.configErrorCode});
        }
        add(buf);
    }
    return s.empty() ? kNormal : s;
}

} // namespace tiwaysim
