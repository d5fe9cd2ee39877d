#include "session.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

#include "cp437.h"

namespace orvhost {
namespace {

volatile std::sig_atomic_t gStop = 0;

// Room for the largest transfer: 256 discrete elements written as 16-bit slots.
constexpr std::size_t kBufferBytes = 2 * kMaxBlockBytes + 8;

// Longest text the host reads from the module's name and banner pointers.
constexpr std::size_t kMaxDriverText = 4096;

// Longest script line taken; a longer one is refused as a whole.
constexpr std::size_t kMaxScriptLine = 4096;

const char *StatusMeaning(std::int32_t status, bool gate) {
    switch (status) {
    case ORV_STATUS_OK:
        return "ok";
    case ORV_STATUS_REFUSED:
        return gate ? "refused: no card on this channel" : "refused";
    case ORV_STATUS_COMM_FAILURE:
        return "communication failure";
    default:
        return "unknown status";
    }
}

struct alignas(8) ValueBuffer {
    unsigned char bytes[kBufferBytes];
};

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

bool Session::Report(const std::string &what, std::int32_t status) {
    if (status == ORV_STATUS_OK) {
        return true;
    }
    err_ << what << ": status " << status << " (" << StatusMeaning(status, false) << ")\n";
    err_.flush();
    return false;
}

bool Session::Info() {
    const InfoRecord &info = driver_.Info();
    const char *name = info.driverName;
    const char *banner = info.banner;
    out_ << "driver:        " << std::string(name != nullptr ? name : "", BoundedLength(name, kMaxDriverText))
         << "\n";
    out_ << "instance size: " << info.instanceSize << " bytes\n";
    out_ << "banner:" << Cp437ToUtf8(std::string_view(banner != nullptr ? banner : "",
                                                      BoundedLength(banner, kMaxDriverText)));
    out_.flush();
    return true;
}

bool Session::ColdStart() {
    StartRecord start{};
    start.online = options_.card ? 1 : 0;
    start.timeout = options_.timeout;
    std::error_code ec;
    const std::filesystem::path previous = std::filesystem::current_path(ec);
    const bool moved = !ec && initDir_.Active();
    if (moved) {
        std::filesystem::current_path(initDir_.Directory(), ec);
        if (ec) {
            err_ << "cold start: cannot enter " << initDir_.Directory().string() << ": " << ec.message() << "\n";
            return false;
        }
    }
    const std::int32_t status = driver_.Call(ORV_OP_COLD_START, &start);
    if (moved) {
        std::filesystem::current_path(previous, ec);
    }
    return Report("cold start", status);
}

bool Session::Stop() {
    return Report("stop", driver_.Call(ORV_OP_STOP, nullptr));
}

bool Session::ParseAddress(const char *verb, const std::string &text, ValueType type, std::int32_t count,
                           Gate &gate) {
    gate.text = text;
    gate.decoded = AddressRecord{};
    gate.decoded.text = gate.text.c_str();
    gate.decoded.gateType = GateTypeCode(type);
    gate.decoded.count = count;
    const std::int32_t op = count > 1 ? ORV_OP_PARSE_BLOCK_ADDRESS : ORV_OP_PARSE_SINGLE_ADDRESS;
    const std::int32_t status = driver_.Call(op, &gate.decoded);
    if (status != ORV_STATUS_OK) {
        err_ << verb << " " << Shown(text) << ": address refused for " << count << " " << ValueTypeName(type)
             << (count == 1 ? " value" : " values") << ", status " << status << "\n";
        return false;
    }
    lastSecondary_ = gate.decoded.plcAddress;
    return true;
}

TransferRecord Session::TransferFor(const Gate &gate, std::int32_t count, void *data) const {
    TransferRecord transfer{};
    transfer.plcAddress = gate.decoded.plcAddress;
    transfer.regionId = gate.decoded.regionId;
    transfer.elementNumber = gate.decoded.elementNumber;
    transfer.bitNumber = gate.decoded.bitNumber;
    transfer.width = gate.decoded.width;
    transfer.count = count;
    transfer.data = data;
    return transfer;
}

bool Session::Read(const std::string &address, std::int32_t count, ValueType type) {
    if (count < 1 || count > kMaxCount) {
        err_ << "read " << Shown(address) << ": count must be 1.." << kMaxCount << "\n";
        return false;
    }
    Gate gate;
    if (!ParseAddress("read", address, type, count, gate)) {
        return false;
    }
    const bool single = count == 1;
    const auto layout = LayoutFor(single ? Transfer::ReadGate : Transfer::ReadBlock, gate.decoded.width,
                                  gate.decoded.bitNumber, count);
    if (!layout || layout->total > kBufferBytes) {
        err_ << "read " << address << ": cannot read " << count << " values of width " << gate.decoded.width
             << (gate.decoded.bitNumber != ORV_NO_BIT ? " from a single bit" : "") << "\n";
        return false;
    }
    ValueBuffer buffer{};
    TransferRecord transfer = TransferFor(gate, count, buffer.bytes);
    const std::int32_t status = driver_.Call(single ? ORV_OP_READ_GATE : ORV_OP_READ_BLOCK, &transfer);
    if (status != ORV_STATUS_OK) {
        err_ << "read " << address << ": status " << status << " (" << StatusMeaning(status, single) << ")\n";
        return false;
    }
    for (std::int32_t i = 0; i < count; ++i) {
        const std::size_t at = layout->offset + static_cast<std::size_t>(i) * layout->stride;
        const std::string value = FormatValue(type, layout->size, LoadSlot(buffer.bytes + at, layout->size));
        if (single) {
            out_ << address << ": " << value << "\n";
        } else {
            out_ << address << " [" << i << "]: " << value << "\n";
        }
    }
    out_.flush();
    return true;
}

bool Session::Write(const std::string &address, const std::vector<std::string> &values, ValueType type) {
    if (values.empty() || values.size() > static_cast<std::size_t>(kMaxCount)) {
        err_ << "write " << Shown(address) << ": give 1.." << kMaxCount << " values\n";
        return false;
    }
    const auto count = static_cast<std::int32_t>(values.size());
    Gate gate;
    if (!ParseAddress("write", address, type, count, gate)) {
        return false;
    }
    const bool single = count == 1;
    const auto layout = LayoutFor(single ? Transfer::WriteGate : Transfer::WriteBlock, gate.decoded.width,
                                  gate.decoded.bitNumber, count);
    if (!layout || layout->total > kBufferBytes) {
        err_ << "write " << address << ": cannot write " << count << " values of width " << gate.decoded.width
             << (gate.decoded.bitNumber != ORV_NO_BIT ? " to a single bit" : "") << "\n";
        return false;
    }
    // Values are checked against the element, not the slot: a discrete
    // element takes 0..255 although it travels in a 16-bit slot.
    const auto elementBytes = static_cast<std::size_t>(gate.decoded.width / 8);
    ValueBuffer buffer{};
    for (std::int32_t i = 0; i < count; ++i) {
        std::string reason;
        const auto raw = ParseValue(type, elementBytes, values[static_cast<std::size_t>(i)], reason);
        if (!raw) {
            err_ << "write " << address << ": " << reason << "\n";
            return false;
        }
        StoreSlot(buffer.bytes + layout->offset + static_cast<std::size_t>(i) * layout->stride, layout->size, *raw);
    }
    TransferRecord transfer = TransferFor(gate, count, buffer.bytes);
    const std::int32_t status = driver_.Call(single ? ORV_OP_WRITE_GATE : ORV_OP_WRITE_BLOCK, &transfer);
    if (status != ORV_STATUS_OK) {
        err_ << "write " << address << ": status " << status << " (" << StatusMeaning(status, single) << ")\n";
        return false;
    }
    out_ << address << ": wrote " << count << (count == 1 ? " value\n" : " values\n");
    out_.flush();
    return true;
}

bool Session::Poll(const std::vector<std::string> &addresses, ValueType type) {
    std::vector<Gate> gates(addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        if (!ParseAddress("poll", addresses[i], type, 1, gates[i])) {
            return false;
        }
        if (!LayoutFor(Transfer::ReadGate, gates[i].decoded.width, gates[i].decoded.bitNumber, 1)) {
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
        std::string line = "[" + std::to_string(cycle) + "]";
        for (const Gate &gate : gates) {
            const auto layout = *LayoutFor(Transfer::ReadGate, gate.decoded.width, gate.decoded.bitNumber, 1);
            ValueBuffer buffer{};
            // ReadGate moves `data` and sets `count` in the record, so each
            // read gets a record filled anew.
            TransferRecord transfer = TransferFor(gate, 1, buffer.bytes);
            const std::int32_t status = driver_.Call(ORV_OP_READ_GATE, &transfer);
            ++reads;
            line += " " + gate.text + "=";
            if (status == ORV_STATUS_OK) {
                line += FormatValue(type, layout.size, LoadSlot(buffer.bytes + layout.offset, layout.size));
            } else {
                ++errors;
                line += "status " + std::to_string(status);
            }
        }
        out_ << line << "\n";
        out_.flush();
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
        WarmStartRecord warm{};
        warm.address = command.hasNumber ? command.number : lastSecondary_;
        const bool ok = Report("warm", driver_.Call(ORV_OP_WARM_START, &warm));
        if (ok) {
            out_ << "warm: ok\n";
        }
        return ok;
    }
    case CommandKind::Reopen: {
        const bool ok = Report("reopen", driver_.Call(ORV_OP_REOPEN_COM, nullptr));
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
    case CommandKind::Timeout: {
        TimeoutRecord record{};
        record.timeout = command.number;
        return Report("timeout", driver_.Call(ORV_OP_SET_TIMEOUT, &record));
    }
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
