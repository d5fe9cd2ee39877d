// A host harness for running the shipped driver module against a real
// tiwaysim process: it loads libkelmar.so and libOrvTiw.so the way orvhost
// does, captures every driver log line, starts and kills the simulator, and
// talks to the simulator's control socket. The soak program and the fault
// matrix tests share it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orvtiw/host_abi.h"

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

// One tiwaysim process, a child of this one, serving this build's device
// path with its state (memory file, control socket, ready file, trace log)
// in one directory.
class Simulator {
public:
    Simulator(std::string program, std::string device, std::string dir)
        : program_(std::move(program)), device_(std::move(device)), dir_(std::move(dir)) {}
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Starts it and waits for its ready file; false with `error` (and the
    // simulator's log) when it does not get ready within 10 s.
    bool Start(std::string &error, const std::vector<std::string> &extra = {});
    // SIGKILL: no clean exit, no last save of the memory file.
    void Kill();
    // SIGTERM and wait; true when it stopped cleanly ("tiwaysim: stopped").
    bool Stop();
    bool Running() const { return pid_ > 0; }
    // Running and not exited meanwhile (reaps it if it has).
    bool Alive();

    // One control command; the simulator's answer ("ok", a status line, or
    // "error: ..."), or "unreachable: ..." when the socket does not answer.
    std::string Control(const std::string &command) const;
    std::string ControlPath() const { return dir_ + "/control"; }
    std::string MemoryPath() const { return dir_ + "/memory"; }
    std::string LogPath() const { return dir_ + "/sim.log"; }
    std::string Log() const;

private:
    std::string program_;
    std::string device_;
    std::string dir_;
    pid_t pid_ = -1;
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
