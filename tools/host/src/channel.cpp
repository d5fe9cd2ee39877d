// One channel: its Instance, its records filled once here, and every call
// made under the module's lock with the lines it produced collected.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "channel/instance.h"
#include "link/messages.h"
#include "log_routing.h"
#include "module_state.h"
#include "orvtiw/host.h"
#include "private_directory.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVTIW_HOST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ORVTIW_HOST_ASAN 1
#endif
#if defined(ORVTIW_HOST_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace orvtiw::host {
namespace {

// Bytes after the Instance that the driver must never write: it promises to
// touch no byte beyond the size it reported. Under AddressSanitizer they
// are poisoned, so a write is reported where it happens; otherwise each
// call checks them.
constexpr std::size_t kGuardBytes = 64;
constexpr std::uint8_t kGuardFill = 0xA5;
constexpr std::uint8_t kUnreadFill = 0xA5;

// Room for the largest transfer: 256 discrete elements written as 16-bit
// slots, and the two bytes a single gate's value is moved on by.
constexpr std::size_t kBufferBytes = 2 * kMaxBlockBytes + 8;

// The level of the driver's start-up results and link errors, which the
// library's account of a refused device joins.
constexpr int kLogLevelError = 32;

// Longest address text taken; the driver reads at most 9 characters of it.
constexpr std::size_t kMaxAddressText = 64;

struct alignas(8) ValueBuffer {
    unsigned char bytes[kBufferBytes];
};

// Appends a later call's outcome to an earlier one's.
void Follow(Result &into, Result &&next) {
    into.status = next.status;
    into.problem = std::move(next.problem);
    for (LogLine &line : next.log) {
        into.log.push_back(std::move(line));
    }
}

} // namespace

TransferRecord TransferRecordOf(const Gate &gate, void *data) {
    TransferRecord transfer{};
    transfer.plcAddress = gate.decoded.plcAddress;
    transfer.regionId = gate.decoded.regionId;
    transfer.elementNumber = gate.decoded.elementNumber;
    transfer.bitNumber = gate.decoded.bitNumber;
    transfer.width = gate.decoded.width;
    transfer.count = gate.block ? gate.count : 1;
    transfer.data = data;
    return transfer;
}

namespace {

std::string Plural(std::int32_t count, const char *what) {
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

} // namespace

std::string InitFileName(std::int32_t channel) {
    char name[32];
    std::snprintf(name, sizeof name, "OrvTiw%02d.int", static_cast<int>(channel));
    return name;
}

const char *StatusMeaning(std::int32_t status) {
    switch (status) {
    case ORV_STATUS_OK:
        return "ok";
    case ORV_STATUS_REFUSED:
        return "refused";
    case ORV_STATUS_COMM_FAILURE:
        return "communication failure";
    case kNotCalled:
        return "not called";
    default:
        return "unknown status";
    }
}

std::string Result::Describe() const {
    if (!problem.empty()) {
        return problem;
    }
    if (status == ORV_STATUS_OK) {
        return "ok";
    }
    return "status " + std::to_string(status) + " (" + StatusMeaning(status) + ")";
}

std::size_t Gate::ReadValueBytes() const {
    const auto layout = LayoutFor(block ? Transfer::ReadBlock : Transfer::ReadGate, decoded.width, decoded.bitNumber,
                                  block ? count : 1);
    return layout ? layout->size : 0;
}

std::size_t Gate::ElementBytes() const {
    if (decoded.bitNumber != ORV_NO_BIT) {
        return decoded.width == 8 ? 1 : 2;
    }
    return static_cast<std::size_t>(decoded.width / 8);
}

Channel::Channel(std::shared_ptr<Module> module, std::int32_t number)
    : module_(std::move(module)), number_(number),
      instanceSize_(static_cast<std::size_t>(module_->Info().instanceSize)),
      instance_(new std::uint8_t[instanceSize_ + kGuardBytes]()) {
    std::memset(instance_.get() + instanceSize_, kGuardFill, kGuardBytes);
#if defined(ORVTIW_HOST_ASAN)
    ASAN_POISON_MEMORY_REGION(instance_.get() + instanceSize_, kGuardBytes);
#endif
}

Channel::~Channel() {
    // Before a cold start the Instance is only zeros, whose device field is
    // no closed link; after one, closing is safe in any state.
    if (started_) {
        Close();
    }
#if defined(ORVTIW_HOST_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(instance_.get() + instanceSize_, kGuardBytes);
#endif
}

void Channel::SetLogHandler(LogHandler handler) {
    handler_ = std::move(handler);
}

Result Channel::Invoke(std::int32_t op, void *params, const std::filesystem::path *directory) {
    Result result;
    // The current directory is the process's: two calls that each make
    // their own the current one (cold starts of channels on two copies of
    // the module) take turns.
    static std::mutex directoryLock;
    std::unique_lock<std::mutex> directoryGuard(directoryLock, std::defer_lock);
    if (directory != nullptr) {
        directoryGuard.lock();
    }
    Module::State &state = *module_->state_;
    std::lock_guard<std::mutex> guard(state.lock);
    std::error_code ec;
    std::filesystem::path previous;
    if (directory != nullptr) {
        previous = std::filesystem::current_path(ec);
        if (!ec) {
            std::filesystem::current_path(*directory, ec);
        }
        if (ec) {
            result.problem = "cannot enter " + directory->string() + ": " + ec.message();
            return result;
        }
    }
    CallRecord call{instance_.get(), op, number_, 0, params};
    {
        LineCapture capture(result.log, handler_);
        result.status = state.entry(&call);
    }
    if (directory != nullptr) {
        std::filesystem::current_path(previous, ec);
        if (ec) {
            result.problem = "cannot return to " + previous.string() + ": " + ec.message();
        }
    }
#if !defined(ORVTIW_HOST_ASAN)
    for (std::size_t i = 0; i < kGuardBytes; ++i) {
        if (instance_[instanceSize_ + i] != kGuardFill) {
            result.problem = "the driver wrote past the " + std::to_string(instanceSize_) + " bytes of its instance";
            break;
        }
    }
#endif
    return result;
}

Result Channel::Call(std::int32_t op, void *params) {
    return Invoke(op, params);
}

Result Channel::ColdStart(const StartOptions &options) {
    if (started_) {
        Close();
    }
    StartRecord start{};
    start.online = options.online ? 1 : 0;
    start.timeout = options.timeoutUnits;
    if (!options.initFile && !options.initText) {
        return Started(Invoke(ORV_OP_COLD_START, &start));
    }
    Result refused;
    if (options.initFile && options.initText) {
        refused.problem = "give the initialisation file or its text, not both";
        return refused;
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    if (options.initFile && !fs::is_regular_file(*options.initFile, ec)) {
        refused.problem = "initialisation file " + *options.initFile + " is not a readable file";
        return refused;
    }
    PrivateDirectory directory;
    if (!directory.Create("orvtiw-init", refused.problem)) {
        return refused;
    }
    const fs::path file = directory.Path() / InitFileName(number_);
    if (options.initFile) {
        fs::copy_file(*options.initFile, file, fs::copy_options::overwrite_existing, ec);
        if (ec) {
            refused.problem = "cannot copy " + *options.initFile + ": " + ec.message();
            return refused;
        }
    } else {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << *options.initText;
        if (!out.flush()) {
            refused.problem = "cannot write " + file.string();
            return refused;
        }
    }
    // Relative paths of the caller's keep their meaning: the directory is
    // the current one for the cold start only.
    return Started(Invoke(ORV_OP_COLD_START, &start, &directory.Path()));
}

Result Channel::Started(Result &&coldStart) {
    started_ = started_ || coldStart.status != kNotCalled;
    return Explained(std::move(coldStart));
}

Result Channel::Explained(Result &&start) {
#if defined(_WIN32)
    // The kernel driver device has no file of ours to examine.
    return std::move(start);
#else
    // Only a module loaded from its file opens the device; one linked into
    // a test may stand anything in its place.
    const std::size_t windowEnd = offsetof(Instance, cardWindowSize) + sizeof(Instance::cardWindowSize);
    if (!module_->loadedFromFile_ || instanceSize_ < windowEnd) {
        return std::move(start);
    }
    bool failed = false;
    for (const LogLine &line : start.log) {
        failed = failed || line.format == msg::kErrorOpeningDriver || line.format == msg::kFailedToMap;
    }
    if (!failed) {
        return std::move(start);
    }
    // The card window as the driver read it from the initialisation file.
    std::uint16_t segment = 0;
    std::uint16_t windowSize = 0;
    std::memcpy(&segment, instance_.get() + offsetof(Instance, cardSegment), sizeof segment);
    std::memcpy(&windowSize, instance_.get() + offsetof(Instance, cardWindowSize), sizeof windowSize);
    std::string why = ExplainDeviceRefusal(DevicePath(), static_cast<std::uint32_t>(segment) << 4, windowSize);
    if (why.empty()) {
        why = std::string("device ") + DevicePath() + ": no rule refuses it now; the refusal has passed";
    }
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "ORV%02d: host: ", static_cast<int>(number_));
    start.log.push_back(LogLine{kLogLevelError, prefix + why, ""});
    if (handler_) {
        handler_(start.log.back());
    }
    return std::move(start);
#endif
}

Result Channel::WarmStart(std::int32_t secondary) {
    WarmStartRecord warm{};
    warm.address = secondary;
    return Explained(Invoke(ORV_OP_WARM_START, &warm));
}

Result Channel::Reopen() {
    return Explained(Invoke(ORV_OP_REOPEN_COM, nullptr));
}

Result Channel::Stop() {
    return Invoke(ORV_OP_STOP, nullptr);
}

Result Channel::Close() {
    return Invoke(ORV_OP_CLOSE_COM, nullptr);
}

Result Channel::SetTimeout(std::int32_t units) {
    TimeoutRecord record{};
    record.timeout = units;
    return Invoke(ORV_OP_SET_TIMEOUT, &record);
}

Result Channel::QueryInfo(DriverInfo &info) {
    InfoRecord record{};
    Result result = Invoke(ORV_OP_GET_DRIVER_INFO, &record);
    if (result.ok()) {
        info.name = record.driverName != nullptr ? std::string(record.driverName, strnlen(record.driverName, 4096))
                                                 : std::string();
        info.banner =
            record.banner != nullptr ? std::string(record.banner, strnlen(record.banner, 4096)) : std::string();
        info.instanceSize = record.instanceSize;
    }
    return result;
}

CheckResult Channel::Check(std::string_view address, ValueType type, std::int32_t count) {
    return CheckAs(address, type, count, count != 1);
}

CheckResult Channel::CheckBlock(std::string_view address, ValueType type, std::int32_t count) {
    return CheckAs(address, type, count, true);
}

CheckResult Channel::CheckAs(std::string_view address, ValueType type, std::int32_t count, bool block) {
    CheckResult out;
    Gate &gate = out.gate;
    gate.address = std::string(address.substr(0, kMaxAddressText));
    gate.type = type;
    gate.count = count;
    gate.block = block;
    if (address.size() > kMaxAddressText || address.find('\0') != std::string_view::npos) {
        out.problem = "not a gate address: too long, or with a NUL character";
        return out;
    }
    if (count < 1 || count > kMaxCount) {
        out.problem = "the count must be 1.." + std::to_string(kMaxCount) + ", not " + std::to_string(count);
        return out;
    }
    AddressRecord &record = gate.decoded;
    record.text = gate.address.c_str();
    record.gateType = GateTypeCode(type);
    record.count = count;
    static_cast<Result &>(out) = Invoke(block ? ORV_OP_PARSE_BLOCK_ADDRESS : ORV_OP_PARSE_SINGLE_ADDRESS, &record);
    record.text = nullptr; // the gate may outlive the text it was checked with
    return out;
}

ReadResult Channel::Read(const Gate &gate) {
    ReadResult out;
    const Transfer kind = gate.block ? Transfer::ReadBlock : Transfer::ReadGate;
    const std::int32_t count = gate.block ? gate.count : 1;
    const auto layout = LayoutFor(kind, gate.decoded.width, gate.decoded.bitNumber, count);
    if (!layout || layout->offset + layout->total > kBufferBytes) {
        out.problem = "cannot read " + Plural(count, "value") + " of width " + std::to_string(gate.decoded.width) +
                      (gate.decoded.bitNumber != ORV_NO_BIT ? " from a single bit" : "");
        return out;
    }
    // A pattern rather than zeros, so that a read reported good which wrote
    // nothing shows as 0xA5 bytes, not as plausible zeros.
    ValueBuffer buffer;
    std::memset(buffer.bytes, kUnreadFill, sizeof buffer.bytes);
    TransferRecord transfer = TransferRecordOf(gate, buffer.bytes);
    static_cast<Result &>(out) = Invoke(gate.block ? ORV_OP_READ_BLOCK : ORV_OP_READ_GATE, &transfer);
    if (out.ok()) {
        out.valueBytes = layout->size;
        for (std::int32_t i = 0; i < count; ++i) {
            const std::size_t at = layout->offset + static_cast<std::size_t>(i) * layout->stride;
            out.values.push_back(LoadSlot(buffer.bytes + at, layout->size));
        }
    }
    return out;
}

ReadResult Channel::Read(std::string_view address, ValueType type, std::int32_t count) {
    CheckResult checked = Check(address, type, count);
    if (!checked.ok()) {
        ReadResult out;
        static_cast<Result &>(out) = std::move(static_cast<Result &>(checked));
        return out;
    }
    ReadResult out = Read(checked.gate);
    std::vector<LogLine> lines = std::move(checked.log);
    lines.insert(lines.end(), std::make_move_iterator(out.log.begin()), std::make_move_iterator(out.log.end()));
    out.log = std::move(lines);
    return out;
}

Result Channel::Write(const Gate &gate, std::span<const std::uint32_t> values) {
    Result out;
    const Transfer kind = gate.block ? Transfer::WriteBlock : Transfer::WriteGate;
    const std::int32_t count = gate.block ? gate.count : 1;
    if (values.size() != static_cast<std::size_t>(count)) {
        out.problem = "give " + Plural(count, "value") + ", not " + std::to_string(values.size());
        return out;
    }
    const auto layout = LayoutFor(kind, gate.decoded.width, gate.decoded.bitNumber, count);
    if (!layout || layout->offset + layout->total > kBufferBytes) {
        out.problem = "cannot write " + Plural(count, "value") + " of width " + std::to_string(gate.decoded.width) +
                      (gate.decoded.bitNumber != ORV_NO_BIT ? " to a single bit" : "");
        return out;
    }
    // Values are checked against the element, not the slot: a discrete
    // element takes 0..255 although it travels in a 16-bit slot.
    const std::size_t elementBytes = gate.ElementBytes();
    ValueBuffer buffer{};
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!FitsElement(gate.type, elementBytes, values[i])) {
            out.problem = "value " + std::to_string(i + 1) + " (" + FormatValue(ValueType::Hex32, 4, values[i]) +
                          ") does not fit " +
                          (gate.type == ValueType::Bit ? std::string("a bit (0 or 1)")
                                                       : "an element of " + std::to_string(8 * elementBytes) + " bits");
            return out;
        }
        StoreSlot(buffer.bytes + layout->offset + i * layout->stride, layout->size, values[i]);
    }
    TransferRecord transfer = TransferRecordOf(gate, buffer.bytes);
    return Invoke(gate.block ? ORV_OP_WRITE_BLOCK : ORV_OP_WRITE_GATE, &transfer);
}

Result Channel::Write(std::string_view address, ValueType type, std::span<const std::uint32_t> values) {
    CheckResult checked = Check(address, type, static_cast<std::int32_t>(values.size()));
    if (!checked.ok()) {
        return std::move(static_cast<Result &>(checked));
    }
    Result out = std::move(static_cast<Result &>(checked));
    Follow(out, Write(checked.gate, values));
    return out;
}

} // namespace orvtiw::host
