// An orvgate child process for the programs that exercise the gateway (its
// load run and its fault tests): started with its output in a log file,
// ready once it says it serves, stopped with SIGTERM, its resident memory
// read from /proc. POSIX only.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace orvlive {

class GateProcess {
  public:
    GateProcess(std::string program, std::string logPath);
    ~GateProcess(); // kills it if it still runs
    GateProcess(const GateProcess &) = delete;
    GateProcess &operator=(const GateProcess &) = delete;

    // Starts it with `args` and waits until its log says it serves (or it
    // ends, or `limit` passes: false with `error` and its log).
    bool Start(const std::vector<std::string> &args, std::string &error,
               std::chrono::seconds limit = std::chrono::seconds(90));
    // SIGTERM (or `signal`) and wait (SIGKILL after 30 s); its exit status,
    // or -1 when a signal ended it.
    int Stop(int signal = SIGTERM);
    void Kill();
    pid_t pid() const {
        return pid_;
    }

    std::string Log() const;
    // Resident memory (VmRSS) in kB, or -1 when it cannot be read.
    long RssKb() const;
    // User + system CPU it has used, in seconds, or a negative value.
    double CpuSeconds() const;

  private:
    std::string program_;
    std::string logPath_;
    pid_t pid_ = -1;
};

} // namespace orvlive
