// A host harness for running the shipped driver module against a real
// tiwaysim process: it loads libkelmar.so and libOrvTiw.so through the host
// library, as orvhost does, keeps every driver log line, and runs the
// simulator as a child process. The soak program and the fault matrix tests
// share it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orvtiw/host.h"
#include "sim_process.h"

namespace orvlive {

using orvtiw::host::Gate;
using orvtiw::host::LogLine;

// The driver module and the logging module, loaded once per process, and
// one channel of it whose every driver line is kept.
class Module {
  public:
    // Loads both modules; false with `error` set when a module or one of its
    // symbols is missing.
    bool Load(const std::string &kelmarPath, const std::string &modulePath, std::string &error);

    // A fresh channel: its instance cleared, as a host allocates it anew.
    void NewInstance();

    // Captured lines, thread safe.
    std::vector<LogLine> Lines() const;
    std::size_t LineCount() const;
    std::vector<LogLine> LinesSince(std::size_t first) const;
    void ClearLines();

    // Operations, as a host calls them; each returns the driver's status.
    std::int32_t ColdStart(bool online, std::int32_t timeoutUnits, const std::string &initText);
    std::int32_t WarmStart(std::int32_t secondary);
    std::int32_t Reopen();
    std::int32_t Stop();
    std::int32_t SetTimeout(std::int32_t units);

    // Operation 3 (count 0) or 4 (count > 0).
    std::int32_t ParseAddress(const std::string &text, orvtiw::host::ValueType type, std::int32_t count, Gate &out);
    // Operations 5 and 7 with one value (a read takes it from a host area
    // filled with 0xA5 whatever the status); 6 and 10 with one value per
    // element.
    std::int32_t ReadGate(const Gate &gate, std::uint32_t &value);
    std::int32_t WriteGate(const Gate &gate, std::uint32_t value);
    std::int32_t ReadBlock(const Gate &gate, std::vector<std::uint32_t> &values);
    std::int32_t WriteBlock(const Gate &gate, const std::vector<std::uint32_t> &values);

    orvtiw::host::Channel &Channel() {
        return *channel_;
    }

  private:
    void Keep(const LogLine &line);

    std::shared_ptr<orvtiw::host::Module> module_;
    std::unique_ptr<orvtiw::host::Channel> channel_;
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

    std::string MemoryPath() const {
        return Directory() + "/memory";
    }
};

// A fresh private directory under the system's temporary directory, removed
// by the destructor.
class TempDir {
  public:
    explicit TempDir(const std::string &prefix);
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const {
        return path_;
    }

  private:
    std::string path_;
};

bool WriteTextFile(const std::string &path, const std::string &text);
std::string ReadTextFile(const std::string &path);

inline double MsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

} // namespace orvlive
