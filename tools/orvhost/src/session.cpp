#include "session.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "cp437.h"

namespace orvhost {
namespace {

using orvtiw::host::Gate;
using orvtiw::host::Result;

volatile std::sig_atomic_t gStop = 0;

// Longest script line taken; a longer one is refused as a whole.
constexpr std::size_t kMaxScriptLine = 4096;

// What a failed transfer's status means, and for a communication failure
// where it lies; a gate operation is refused only on a channel started
// without a card.
std::string Failure(const Result &result, bool gate) {
    if (!result.problem.empty()) {
        return result.problem;
    }
    const char *meaning = result.status == ORV_STATUS_REFUSED && gate ? "refused: no card on this channel"
                                                                      : orvtiw::host::StatusMeaning(result.status);
    std::string text = "status " + std::to_string(result.status) + " (" + meaning + ")";
    if (result.status == ORV_STATUS_COMM_FAILURE) {
        text += std::string(": ") + orvtiw::host::FailureMeaning(orvtiw::host::ClassifyFailure(result).kind);
    }
    return text;
}

// Reads one line of at most kMaxScriptLine characters; `tooLong` is set when
// the line was longer (the rest of it is skipped).
bool ReadBoundedLine(std::istream &in, std::string &line, bool &tooLong) {
    line.clear();
    tooLong = false;
    char c = 0;
    bool any = false;
    while (in.get(c)) {
        any = true;
        if (c == '\n') {
            return true;
        }
        if (line.size() < kMaxScriptLine) {
            line += c;
        } else {
            tooLong = true;
        }
    }
    return any;
}

// An address as echoed in messages: the driver takes at most 8 characters,
// so a longer text is cut rather than flooding the terminal.
std::string Shown(const std::string &address) {
    return address.size() <= 16 ? address : address.substr(0, 16) + "...";
}

} // namespace

void RequestStop() {
    gStop = 1;
}

bool StopRequested() {
    return gStop != 0;
}

Session::Session(orvtiw::host::Channel &channel, const Options &options, std::ostream &out, std::ostream &errors,
                 Progress &progress, bool watch)
    : channel_(channel), options_(options), out_(out), err_(errors), progress_(progress), watch_(watch),
      type_(options.type) {
    // Driver lines are printed as "<level> <text>" when their level is shown.
    channel_.SetLogHandler(
        [this](const orvtiw::host::LogLine &line) { progress_.Line(line, line.level >= options_.minLevel); });
}

Result Session::Waiting(const char *what, const std::function<Result()> &operation) {
    progress_.Begin(what);
    Result result = operation();
    progress_.End();
    return result;
}

bool Session::Report(const std::string &what, const Result &result) {
    if (result.ok()) {
        return true;
    }
    err_ << what << ": " << Failure(result, false) << "\n";
    err_.flush();
    return false;
}

bool Session::Info() {
    const orvtiw::host::DriverInfo &info = channel_.LoadedModule().Info();
    out_ << "driver:        " << info.name << "\n";
    out_ << "instance size: " << info.instanceSize << " bytes\n";
    out_ << "device:        " << orvtiw::host::DevicePath() << "\n";
    out_ << "banner:" << Cp437ToUtf8(info.banner);
    out_.flush();
    return true;
}

bool Session::ColdStart() {
    orvtiw::host::StartOptions start;
    start.online = options_.card;
    start.timeoutUnits = options_.timeout;
    if (!options_.initFile.empty()) {
        start.initFile = options_.initFile;
    }
    if (!fineTimer_) {
        fineTimer_.emplace();
    }
    return Report("cold start", Waiting("cold start", [&] { return channel_.ColdStart(start); }));
}

bool Session::Stop() {
    const bool ok = Report("stop", channel_.Stop());
    fineTimer_.reset();
    return ok;
}

bool Session::Check(const char *verb, const std::string &text, ValueType type, std::int32_t count, Gate &gate) {
    auto checked = channel_.Check(text, type, count);
    if (!checked.ok()) {
        err_ << verb << " " << Shown(text) << ": address refused for " << count << " "
             << orvtiw::host::ValueTypeName(type) << (count == 1 ? " value" : " values") << ", "
             << (checked.problem.empty() ? "status " + std::to_string(checked.status) : checked.problem) << "\n";
        return false;
    }
    gate = std::move(checked.gate);
    lastSecondary_ = gate.decoded.plcAddress;
    return true;
}

bool Session::Read(const std::string &address, std::int32_t count, ValueType type) {
    if (count < 1 || count > orvtiw::host::kMaxCount) {
        err_ << "read " << Shown(address) << ": count must be 1.." << orvtiw::host::kMaxCount << "\n";
        return false;
    }
    Gate gate;
    if (!Check("read", address, type, count, gate)) {
        return false;
    }
    const auto read = channel_.Read(gate);
    if (!read.ok()) {
        err_ << "read " << address << ": " << Failure(read, !gate.block) << "\n";
        return false;
    }
    for (std::size_t i = 0; i < read.values.size(); ++i) {
        const std::string value = orvtiw::host::FormatValue(type, read.valueBytes, read.values[i]);
        if (!gate.block) {
            out_ << address << ": " << value << "\n";
        } else {
            out_ << address << " [" << i << "]: " << value << "\n";
        }
    }
    out_.flush();
    return true;
}

bool Session::Write(const std::string &address, const std::vector<std::string> &values, ValueType type) {
    if (values.empty() || values.size() > static_cast<std::size_t>(orvtiw::host::kMaxCount)) {
        err_ << "write " << Shown(address) << ": give 1.." << orvtiw::host::kMaxCount << " values\n";
        return false;
    }
    const auto count = static_cast<std::int32_t>(values.size());
    Gate gate;
    if (!Check("write", address, type, count, gate)) {
        return false;
    }
    // Values are checked against the element, not the slot: a discrete
    // element takes 0..255 although it travels in a 16-bit slot.
    std::vector<std::uint32_t> raw;
    for (const std::string &text : values) {
        std::string reason;
        const auto value = orvtiw::host::ParseValue(type, gate.ElementBytes(), text, reason);
        if (!value) {
            err_ << "write " << address << ": " << reason << "\n";
            return false;
        }
        raw.push_back(*value);
    }
    const Result written = channel_.Write(gate, raw);
    if (!written.ok()) {
        err_ << "write " << address << ": " << Failure(written, !gate.block) << "\n";
        return false;
    }
    out_ << address << ": wrote " << count << (count == 1 ? " value\n" : " values\n");
    out_.flush();
    return true;
}

bool Session::Poll(const std::vector<std::string> &addresses, ValueType type) {
    std::vector<Gate> gates(addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        if (!Check("poll", addresses[i], type, 1, gates[i])) {
            return false;
        }
        if (gates[i].ReadValueBytes() == 0) {
            err_ << "poll " << addresses[i] << ": width " << gates[i].decoded.width << " cannot be read\n";
            return false;
        }
    }
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::milliseconds(options_.interval);
    std::uint64_t reads = 0;
    std::uint64_t errors = 0;
    auto next = Clock::now();
    for (std::int64_t cycle = 1; !StopRequested(); ++cycle) {
        std::vector<std::string> values;
        for (const Gate &gate : gates) {
            const auto read = channel_.Read(gate);
            ++reads;
            if (read.ok()) {
                values.push_back(orvtiw::host::FormatValue(type, read.valueBytes, read.values[0]));
            } else {
                ++errors;
                values.push_back("status " + std::to_string(read.status));
            }
        }
        PrintPollCycle(cycle, addresses, values, cycle == 1);
        if (options_.pollCount != 0 && cycle >= options_.pollCount) {
            break;
        }
        next += period;
        // Sleeps in short slices so Ctrl-C ends the poll promptly.
        while (!StopRequested()) {
            const auto now = Clock::now();
            if (now >= next) {
                if (now - next > period) {
                    next = now; // a slow cycle: do not try to catch up
                }
                break;
            }
            std::this_thread::sleep_for(std::min<Clock::duration>(next - now, std::chrono::milliseconds(50)));
        }
    }
    char summary[128];
    const double rate = reads == 0 ? 0.0 : 100.0 * static_cast<double>(errors) / static_cast<double>(reads);
    std::snprintf(summary, sizeof summary, "poll: %llu reads, %llu errors, %.1f%% failed\n",
                  static_cast<unsigned long long>(reads), static_cast<unsigned long long>(errors), rate);
    out_ << summary;
    out_.flush();
    return errors == 0;
}

// Redirected, one line per cycle; on a terminal, a watch window: a line per
// gate, rewritten in place each cycle.
void Session::PrintPollCycle(std::int64_t cycle, const std::vector<std::string> &addresses,
                             const std::vector<std::string> &values, bool first) {
    if (!watch_) {
        std::string line = "[" + std::to_string(cycle) + "]";
        for (std::size_t i = 0; i < values.size(); ++i) {
            line += " " + addresses[i] + "=" + values[i];
        }
        out_ << line << "\n";
        out_.flush();
        return;
    }
    if (!first) {
        out_ << "\033[" << values.size() + 1 << "F"; // back to the first line of the window
    }
    out_ << "\033[K[" << cycle << "] every " << options_.interval << " ms, Ctrl-C stops\n";
    for (std::size_t i = 0; i < values.size(); ++i) {
        out_ << "\033[K  " << addresses[i] << "  " << values[i] << "\n";
    }
    out_.flush();
}

bool Session::RunScriptCommand(const Command &command, bool &quit) {
    const ValueType type = command.type.value_or(type_);
    switch (command.kind) {
    case CommandKind::None:
        return true;
    case CommandKind::Help:
        out_ << ScriptHelpText();
        return true;
    case CommandKind::Info:
        return Info();
    case CommandKind::Read:
        return Read(command.addresses[0], command.count, type);
    case CommandKind::Write:
        return Write(command.addresses[0], command.values, type);
    case CommandKind::Warm: {
        const std::int32_t secondary = command.hasNumber ? command.number : lastSecondary_;
        const bool ok = Report("warm", Waiting("warm start", [&] { return channel_.WarmStart(secondary); }));
        if (ok) {
            out_ << "warm: ok\n";
        }
        return ok;
    }
    case CommandKind::Reopen: {
        const bool ok = Report("reopen", Waiting("reopen", [&] { return channel_.Reopen(); }));
        if (ok) {
            out_ << "reopen: ok\n";
        }
        return ok;
    }
    case CommandKind::Stop:
        if (Stop()) {
            out_ << "stop: ok\n";
            return true;
        }
        return false;
    case CommandKind::Start:
        if (ColdStart()) {
            out_ << "start: ok\n";
            return true;
        }
        return false;
    case CommandKind::Timeout:
        return Report("timeout", channel_.SetTimeout(command.number));
    case CommandKind::Type:
        type_ = *command.type;
        return true;
    case CommandKind::Quit:
        quit = true;
        return true;
    default:
        err_ << "not a script command\n";
        return false;
    }
}

bool Session::Script(std::istream &in) {
    bool allOk = ColdStart();
    std::string line;
    bool tooLong = false;
    bool quit = false;
    for (int number = 1; !quit && ReadBoundedLine(in, line, tooLong); ++number) {
        if (tooLong) {
            err_ << "line " << number << ": longer than " << kMaxScriptLine << " characters, skipped\n";
            allOk = false;
            continue;
        }
        std::string error;
        const auto command = ParseScriptCommand(SplitScriptLine(line), error);
        if (!command) {
            err_ << "line " << number << ": " << error << "\n";
            allOk = false;
            continue;
        }
        if (!RunScriptCommand(*command, quit)) {
            allOk = false;
        }
        out_.flush();
    }
    // Leaves the link closed, as a host does when it shuts a channel down.
    return Stop() && allOk;
}

} // namespace orvhost
