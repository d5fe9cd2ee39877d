// A host harness for running the shipped driver module against a real
// tiwaysim process: it loads libkelmar.so and libOrvTiw.so the way orvhost
// does, captures every driver log line, and runs the simulator as a child
// process. The soak program and the fault matrix tests share it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orvtiw/host_abi.h"
#include "sim_process.h"

namespace orvlive {

struct LogLine {
    int level;
    std::string text;
};

// The driver module and the logging module, loaded once per process (the
// driver binds `err` to the first libkelmar.so it finds and keeps it).
class Module {
public:
    // Loads both modules and routes kelmar's lines into this object; false
    // with `error` set when a module or one of its symbols is missing.
    bool Load(const std::string &kelmarPath, const std::string &modulePath, std::string &error);

    // The per-channel instance, cleared to zeros; the driver's own size.
    void NewInstance();
    std::int32_t Call(std::int32_t op, void *params);
    std::int32_t channel = 1;

    // Captured lines, thread safe: a read may log on another thread.
    std::vector<LogLine> Lines() const;
    std::size_t LineCount() const;
    std::vector<LogLine> LinesSince(std::size_t first) const;
    void ClearLines();

    // Operations, as a host calls them.
    std::int32_t ColdStart(bool online, std::int32_t timeoutUnits);
    std::int32_t WarmStart(std::int32_t secondary);
    std::int32_t Reopen();
    std::int32_t Stop();
    std::int32_t SetTimeout(std::int32_t units);

    // Operations 3 (count 0) or 4 (count > 0): fills `out` for the transfers.
    std::int32_t ParseAddress(const std::string &text, std::int32_t gateType, std::int32_t count,
                              AddressRecord &out);
    // Operations 5 and 7 with one 16-bit or 8-bit value (at offset 2 of the
    // host's area) or one 32-bit value (offset 0).
    std::int32_t ReadGate(const AddressRecord &a, std::uint32_t &value);
    std::int32_t WriteGate(const AddressRecord &a, std::uint32_t value);
    // Operations 6 and 10; `data` is the host's value buffer as the driver
    // lays it out (16-bit slots, 32-bit slots, or packed bytes for a read of
    // an 8-bit region).
    std::int32_t ReadBlock(const AddressRecord &a, void *data);
    std::int32_t WriteBlock(const AddressRecord &a, void *data);

private:
    static void Sink(void *context, int level, const char *text);
    TransferRecord Transfer(const AddressRecord &a, void *data) const;

    OrvMainFunction main_ = nullptr;
    std::int32_t instanceSize_ = 0;
    std::unique_ptr<std::max_align_t[]> instance_;
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
};

// Lines whose text contains `needle`, optionally at one level only.
int CountLines(const std::vector<LogLine> &lines, const std::string &needle, int level = -1);
std::string Describe(const std::vector<LogLine> &lines);

// The tiwaysim child process of the soak and the fault matrix: it keeps its
// controller memory in its directory and traces every exchange and reset
// into its log, across restarts.
class Simulator : public tiwaysim::SimProcess {
public:
    Simulator(std::string program, std::string device, const std::string &dir)
        : SimProcess(std::move(program), std::move(device), dir, {"--memory", dir + "/memory", "--trace"}) {}

    std::string MemoryPath() const { return Directory() + "/memory"; }
};

// A fresh private directory under the system's temporary directory, removed
// by the destructor.
class TempDir {
public:
    explicit TempDir(const std::string &prefix);
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

bool WriteTextFile(const std::string &path, const std::string &text);
std::string ReadTextFile(const std::string &path);

inline double MsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

} // namespace orvlive
