// orvtiw::host: the host side of the TIWAY driver module, for programs that
// drive it. It loads the logging module and the driver module, owns each
// channel's Instance, fills the host's records, and reads and writes gates
// by their address text, with typed values and every result carrying the
// driver's status and the log lines the call produced.
//
// Threads: the module is not reentrant (its address parser works in one
// buffer for the whole module), so every call into a loaded module is made
// under that module's one lock, whichever Channel and thread it comes from.
// A call blocks for as long as the driver waits on the card: up to about
// 21 s for a start's adapter reset, plus 10 s of configuration pauses.
//
// A cold start with an initialisation file changes the process's current
// directory for the length of that call (the driver reads OrvTiwNN.int from
// it); other threads should not rely on the current directory meanwhile,
// and two such cold starts take turns, even on two copies of the module. A
// host that starts channels side by side puts their OrvTiwNN.int files in
// one directory, makes it the current one, and cold-starts them without
// initFile or initText.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "orvtiw/host_abi.h"
#include "orvtiw/host_values.h"

namespace orvtiw::host {

// The status of a Result whose driver operation was never called, because
// the library refused the request first (see Result::problem).
inline constexpr std::int32_t kNotCalled = -1;

struct LogLine {
    int level = 0;
    std::string text;   // formatted, without a line end
    std::string format; // the driver's format of it, where the logging module hands it over
};

// Receives each driver log line as it is produced, on the calling thread,
// in the middle of the call: it must not call back into the library.
using LogHandler = std::function<void(const LogLine &line)>;

// What one library call came to.
struct Result {
    std::int32_t status = kNotCalled; // the driver's status of the last operation made
    std::string problem;              // why the library refused or failed, when it did
    std::vector<LogLine> log;         // the driver's lines during the call, in order

    bool ok() const noexcept {
        return problem.empty() && status == ORV_STATUS_OK;
    }
    explicit operator bool() const noexcept {
        return ok();
    }
    // "ok", the problem, or "status 2 (communication failure)".
    std::string Describe() const;
};

// Where a failed call's fault lies, judged by the formats of the driver's
// messages during the call (never by their wording), the widest first.
enum class FailureKind {
    None,                 // the call succeeded
    CardNotAnswering,     // the adapter card did not take or answer a request, or the link is not open
    SecondaryUnreachable, // the adapter answered but could not reach the secondary (MHIU error, not connected)
    ControllerRefusal,    // the controller answered and refused the request, or answered what does not fit it
    RecordRefused,        // refused before any exchange: by the driver (status 1) or by this library
};

struct Failure {
    FailureKind kind = FailureKind::None;
    std::uint16_t code = 0; // the MHIU or primitive error code, where one was reported
    std::string text;       // the first error line without its "ORVnn: TIW: " prefix, else Result::Describe
};

// What a call came to, for every host: a communication failure (status 2)
// the driver logged nothing known for counts as the card not answering.
Failure ClassifyFailure(const Result &result);
// "the card is not answering", "the secondary cannot be reached", ...
const char *FailureMeaning(FailureKind kind);

// What the driver tells of itself (operation 14).
struct DriverInfo {
    std::string name;
    std::string banner; // code page 437, as the module holds it
    std::int32_t instanceSize = 0;
};

// A gate address the driver accepted, decoded, ready for reads and writes
// without being checked again.
struct Gate {
    std::string address;
    ValueType type = ValueType::Int16;
    std::int32_t count = 1;
    bool block = false;      // checked by operation 4 and moved by 6 and 10; else 3, 5 and 7
    AddressRecord decoded{}; // as the driver filled it; its text pointer is cleared

    // Bytes of one value as a read delivers it: 1 for the packed bytes of a
    // discrete block, 2 for words, bits and single discrete points, 4 for
    // 32-bit values.
    std::size_t ReadValueBytes() const;
    // Bytes of one element as the controller holds it: 1, 2 or 4 (2 for a
    // bit of a word).
    std::size_t ElementBytes() const;
};

struct CheckResult : Result {
    Gate gate;
};

struct ReadResult : Result {
    // One raw value per element: the element's bits, zero-extended (a float
    // as its bit pattern, a bit or a discrete point as 0 or 1).
    std::vector<std::uint32_t> values;
    std::size_t valueBytes = 0; // Gate::ReadValueBytes of the gate read
};

template <typename T> struct TypedReadResult : Result { std::vector<T> values; };

// How a channel starts (operation 1).
struct StartOptions {
    bool online = true;              // the channel drives a card
    std::int32_t timeoutUnits = 100; // reply time-out in 10 ms units (the driver takes at least 100)
    // The channel's initialisation file, copied (initFile) or written
    // (initText) as OrvTiwNN.int into a private directory that is the
    // current one for the cold start only and is removed after it. With
    // neither, the driver reads OrvTiwNN.int from the current directory.
    std::optional<std::string> initFile;
    std::optional<std::string> initText;
};

// The name of the file the driver reads for a channel: "OrvTiw%02d.int".
std::string InitFileName(std::int32_t channel);

// How a driver module is loaded.
enum class Loading {
    // Once per process: every Module loaded from the same file is one
    // module, with one address parser and one lock for all its channels.
    Shared,
    // A private copy of the file, loaded on its own: its module-wide state
    // (the address parser's working copy, the kernel-call byte count) and
    // its lock belong to the Module alone, so calls through it may run
    // beside calls into any other copy. It costs the module's code and data
    // once more in memory (about 200 kB) and a copy of the file while it
    // loads (on Windows until the process ends, since a loaded DLL's file
    // cannot be deleted; the next process's first copy clears it). A bare
    // file name is copied from beside the program, else from the current
    // directory.
    PrivateCopy,
};

// One loaded driver module and its lock. Modules stay loaded until the
// process ends: the driver keeps pointers into the logging module, and the
// texts of operation 14 live in the driver.
class Module {
  public:
    // Loads the logging module (kelmar) with its symbols visible to modules
    // loaded later, routes its lines into the library, then loads the driver
    // module, finds OrvMain and asks operation 14 for the instance size.
    static std::shared_ptr<Module> Load(const std::string &kelmarPath, const std::string &modulePath,
                                        std::string &error, Loading loading = Loading::Shared);

    // A driver linked into this program (tests on the driver's core): the
    // entry as a function pointer. Its log lines reach results only when the
    // caller routes them to DeliverLogLine.
    static std::shared_ptr<Module> FromEntry(OrvMainFunction entry, std::string &error);

    const DriverInfo &Info() const {
        return info_;
    }

    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;
    ~Module();

    struct State; // the entry and the lock shared by every Module of the same loaded module

  private:
    Module() = default;
    bool Start(OrvMainFunction entry, std::string &error);

    std::shared_ptr<State> state_;
    DriverInfo info_;
    bool loadedFromFile_ = false; // opens DevicePath() for a card, rather than what a test put in its place
    friend class Channel;
};

// One channel of a loaded module: its Instance (of exactly the size the
// driver reported) and its number.
class Channel {
  public:
    Channel(std::shared_ptr<Module> module, std::int32_t number);
    // Closes the link (operation 12) when the channel was started through
    // ColdStart, so that the device and the card window are not left open.
    ~Channel();
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;

    std::int32_t Number() const {
        return number_;
    }
    const Module &LoadedModule() const {
        return *module_;
    }
    // Lines are also handed to `handler` as they come (progress displays).
    void SetLogHandler(LogHandler handler);

    // Operations of the channel's life. A cold start, a warm start or a
    // reopen that fails to open the device or map the card window gets a
    // line of the library's own after the driver's: "ORVnn: host: " and
    // ExplainDeviceRefusal's account. A cold start of a channel already
    // started closes its link first, since the driver's clears the Instance
    // without closing the device and the window it held.
    Result ColdStart(const StartOptions &options = {});
    Result WarmStart(std::int32_t secondary);
    Result Reopen();
    Result Stop();
    Result Close();
    Result SetTimeout(std::int32_t units);
    Result QueryInfo(DriverInfo &info);

    // Operation 3 for a single gate (count 1), 4 for a block (count above 1).
    CheckResult Check(std::string_view address, ValueType type, std::int32_t count = 1);
    // Operation 4 whatever the count.
    CheckResult CheckBlock(std::string_view address, ValueType type, std::int32_t count);

    ReadResult Read(const Gate &gate);
    ReadResult Read(std::string_view address, ValueType type, std::int32_t count = 1);
    // One raw value per element (see ReadResult::values); each must fit the
    // element (0 or 1 for a bit), and there must be gate.count of them.
    Result Write(const Gate &gate, std::span<const std::uint32_t> values);
    Result Write(std::string_view address, ValueType type, std::span<const std::uint32_t> values);

    // Typed forms: std::int16_t, std::uint16_t, std::int32_t, std::uint32_t,
    // float, and bool for digital gates.
    template <typename T> TypedReadResult<T> ReadAs(std::string_view address, std::int32_t count = 1);
    template <typename T> Result WriteAs(std::string_view address, std::span<const T> values);
    template <typename T> Result WriteAs(std::string_view address, T value) {
        return WriteAs<T>(address, std::span<const T>(&value, 1));
    }

    // One operation with a record the caller filled, for hosts and tests
    // that need the records themselves.
    Result Call(std::int32_t op, void *params);

    // The Instance memory and its size, for diagnostics and tests.
    void *InstanceMemory() {
        return instance_.get();
    }
    std::size_t InstanceSize() const {
        return instanceSize_;
    }

  private:
    Result Invoke(std::int32_t op, void *params, const std::filesystem::path *directory = nullptr);
    CheckResult CheckAs(std::string_view address, ValueType type, std::int32_t count, bool block);
    // Notes that a cold start reached the driver.
    Result Started(Result &&coldStart);
    // Adds the account of a failed open or map to a start's result.
    Result Explained(Result &&start);

    std::shared_ptr<Module> module_;
    std::int32_t number_;
    std::size_t instanceSize_;
    std::unique_ptr<std::uint8_t[]> instance_; // the Instance, then a guard zone
    LogHandler handler_;
    bool started_ = false; // a ColdStart was made: the Instance holds a link state
};

// The transfer record of operations 5, 6, 7 and 10 for a checked gate, with
// `data` as the host's value buffer: for hosts and tests that make the call
// themselves (Channel::Call). Fill it anew for every call: the driver moves
// `data` on and sets `count` in place.
TransferRecord TransferRecordOf(const Gate &gate, void *data);

// Hands one driver line to the call in progress on this thread (or to
// stderr as "<level> <text>" when none is): what kelmar's lines go through,
// and what an in-process driver's logger can call, with the format when it
// has it.
void DeliverLogLine(int level, const char *text, const char *format = nullptr);

// While one lives, the system's timer ticks every millisecond (on Windows,
// timeBeginPeriod(1), undone when it goes): the driver polls the card with
// Sleep(1), which otherwise sleeps a whole default tick of about 15.6 ms, so
// that every exchange costs that much. A host holds one while a channel is
// open. Elsewhere it does nothing. The driver itself sets no timer.
class FineTimer {
  public:
    FineTimer();
    ~FineTimer();
    FineTimer(const FineTimer &) = delete;
    FineTimer &operator=(const FineTimer &) = delete;

  private:
    [[maybe_unused]] bool held_ = false;
};

// The memory device file whose byte P is physical address P that this
// build's driver module opens for a card (on Windows, the kernel driver
// device), fixed when it was built.
const char *DevicePath();

// Why `path` would not open, or would not map the card window of `length`
// bytes at physical `address`, for this process now, the way the driver's
// POSIX device does it: the path (and a link's target), the errno text
// where a call failed, and the rule that refused it: missing file,
// permission, not owned by the effective user or root, writable by group or
// others, the window outside the file, or another host driving the card
// (with the process that holds its window). Empty when nothing refuses it
// now, and on Windows. It holds no lock and changes nothing.
std::string ExplainDeviceRefusal(const std::string &path, std::uint32_t address, std::uint32_t length);

// What a status means to a host.
const char *StatusMeaning(std::int32_t status);

// The directory of the running program, with a trailing separator, or an
// empty text when it cannot be found; and the file names of the two modules
// on this system.
std::string ExecutableDirectory();
const char *KelmarFileName();
const char *ModuleFileName();

// Where a program finds a module file: beside the program, then in the
// library directory of the installed tree the program belongs to, else
// `fallback` (for instance the path where the build made it).
std::string LocateModuleFile(const char *fileName, const std::string &fallback);

// ---- typed forms --------------------------------------------------------

template <typename T> TypedReadResult<T> Channel::ReadAs(std::string_view address, std::int32_t count) {
    ReadResult raw = Read(address, ValueTypeOf<T>(), count);
    TypedReadResult<T> out;
    static_cast<Result &>(out) = std::move(static_cast<Result &>(raw));
    out.values.reserve(raw.values.size());
    for (const std::uint32_t v : raw.values) {
        out.values.push_back(FromRaw<T>(v));
    }
    return out;
}

template <typename T> Result Channel::WriteAs(std::string_view address, std::span<const T> values) {
    std::vector<std::uint32_t> raw;
    raw.reserve(values.size());
    for (const T &v : values) {
        raw.push_back(ToRaw<T>(v));
    }
    return Write(address, ValueTypeOf<T>(), raw);
}

} // namespace orvtiw::host
