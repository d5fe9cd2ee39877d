// A tiwaysim child process for the programs that measure or exercise the
// driver against it (benchmark, soak, fault matrix): started with its
// control socket, ready file and log in one directory, commanded through
// that socket, stopped or killed, its CPU time and log read. POSIX only.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace tiwaysim {

// User + system CPU a running process of ours has used, in seconds, or a
// negative value when it cannot be read.
double CpuSecondsOf(pid_t pid);

// Starts the program `args[0]` with `args`, standard input from /dev/null
// and standard output and error into `logPath` (created 0600, emptied first
// when `truncate`, else appended to): its pid, or -1 with `error`.
pid_t SpawnLogged(std::vector<std::string> args, const std::string &logPath, bool truncate, std::string &error);

class SimProcess {
  public:
    // `program` serves `device`; `dir` holds its control socket ("control"),
    // its ready file ("ready") and its log ("tiwaysim.log", appended to by
    // every start). The `standing` arguments go to every start.
    SimProcess(std::string program, std::string device, std::string dir, std::vector<std::string> standing = {});
    ~SimProcess(); // stops it if it still runs
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // Starts it with `extra` arguments after the standing ones and waits up
    // to 10 s for its ready file to name it; false with `error` (and what it
    // logged) otherwise.
    bool Start(std::string &error, const std::vector<std::string> &extra = {});
    // SIGKILL: no clean exit, no last save of a memory file.
    void Kill();
    // SIGTERM and wait (SIGKILL after 5 s); true when it exited with status
    // 0 and logged "tiwaysim: stopped".
    bool Stop();
    bool Running() const {
        return pid_ > 0;
    }
    // Running and not exited meanwhile (reaps it if it has).
    bool Alive();
    pid_t pid() const {
        return pid_;
    }

    // One control command: the simulator's answer ("ok", a status line, or
    // "error: ..."), or "unreachable: ..." when nothing answered.
    std::string Control(const std::string &command) const;
    // The same, true only when the answer is "ok".
    bool Control(const std::string &command, std::string &answer) const;

    // User + system CPU the running simulator has used, in seconds, or a
    // negative value when it cannot be read.
    double CpuSeconds() const;

    const std::string &Directory() const {
        return dir_;
    }
    std::string ControlPath() const {
        return dir_ + "/control";
    }
    std::string LogPath() const {
        return dir_ + "/tiwaysim.log";
    }
    // The whole log, every start's output in turn.
    std::string Log() const;

  private:
    std::string program_;
    std::string device_;
    std::string dir_;
    std::vector<std::string> standing_;
    pid_t pid_ = -1;
    std::size_t logStart_ = 0; // where the current start's output begins in the log
};

} // namespace tiwaysim
