// A program run as a child process with its standard streams on pipes: fed
// input, its output gathered, waited for with a limit. Used to drive orvhost
// and tiwaysim's client mode as a person at a terminal would.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace e2e {

struct Outcome {
    int exitCode = -1;     // the program's exit status, or -1 when a signal ended it
    int signal = 0;        // the signal that ended it, if one did
    bool timedOut = false; // it was killed for overrunning its limit
    std::string out;
    std::string err;
    double seconds = 0; // from start to exit
};

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Starts argv[0] (a path) with these arguments in `workDir`.
    bool Start(const std::vector<std::string> &argv, const std::string &workDir, std::string &error);

    // Writes to the child's standard input; false once it no longer reads.
    bool Write(const std::string &text);
    void CloseInput();

    // Waits until the output (standard output or error) gathered since the
    // last wait that succeeded on that stream contains `text`; false when the
    // child ends or the time runs out first.
    bool WaitForOut(const std::string &text, std::chrono::milliseconds limit);
    bool WaitForErr(const std::string &text, std::chrono::milliseconds limit);

    void Signal(int signal);
    pid_t Pid() const { return pid_; }

    // Closes the input, gathers the rest of the output and waits for the
    // child; kills it when `limit` passes first.
    Outcome Finish(std::chrono::milliseconds limit);

    const std::string &Out() const {
        return out_;
    }
    const std::string &Err() const {
        return err_;
    }

private:
    // Reads what the pipes hold, waiting at most `wait`; false when both
    // output pipes are closed.
    bool Pump(std::chrono::milliseconds wait);
    bool WaitFor(const std::string &buffer, std::size_t &mark, const std::string &text,
                 std::chrono::milliseconds limit);
    void Reap(Outcome &outcome, int status);

    pid_t pid_ = -1;
    int in_ = -1;
    int outPipe_ = -1;
    int errPipe_ = -1;
    std::string out_;
    std::string err_;
    std::size_t outMark_ = 0;
    std::size_t errMark_ = 0;
    std::chrono::steady_clock::time_point started_{};
};

// Runs a program to its end with `input` on its standard input.
Outcome Run(const std::vector<std::string> &argv, const std::string &workDir, const std::string &input,
            std::chrono::milliseconds limit);

} // namespace e2e
