#include "child_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

void CloseFd(int &fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

int Remaining(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

} // namespace

ChildProcess::~ChildProcess() {
    CloseFd(in_);
    CloseFd(outPipe_);
    CloseFd(errPipe_);
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

bool ChildProcess::Start(const std::vector<std::string> &argv, const std::string &workDir, std::string &error) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        close(in[0]);
        close(in[1]);
        return false;
    }
    std::vector<char *> args;
    for (const std::string &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    started_ = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0) {
            _exit(126);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    outPipe_ = out[0];
    errPipe_ = err[0];
    if (pid < 0) {
        error = std::strerror(errno);
        CloseFd(in_);
        CloseFd(outPipe_);
        CloseFd(errPipe_);
        return false;
    }
    pid_ = pid;
    fcntl(outPipe_, F_SETFL, O_NONBLOCK);
    fcntl(errPipe_, F_SETFL, O_NONBLOCK);
    return true;
}

bool ChildProcess::Write(const std::string &text) {
    std::size_t done = 0;
    while (in_ >= 0 && done < text.size()) {
        const ssize_t n = write(in_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return in_ >= 0;
}

void ChildProcess::CloseInput() {
    CloseFd(in_);
}

bool ChildProcess::Pump(milliseconds wait) {
    pollfd fds[2];
    int *owners[2];
    nfds_t count = 0;
    for (int *fd : {&outPipe_, &errPipe_}) {
        if (*fd >= 0) {
            fds[count] = pollfd{*fd, POLLIN, 0};
            owners[count] = fd;
            ++count;
        }
    }
    if (count == 0) {
        return false;
    }
    if (poll(fds, count, static_cast<int>(wait.count())) <= 0) {
        return true;
    }
    for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        std::string &buffer = owners[i] == &outPipe_ ? out_ : err_;
        char chunk[4096];
        for (;;) {
            const ssize_t n = read(*owners[i], chunk, sizeof chunk);
            if (n > 0) {
                buffer.append(chunk, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                CloseFd(*owners[i]);
            }
            break;
        }
    }
    return outPipe_ >= 0 || errPipe_ >= 0;
}

bool ChildProcess::WaitFor(const std::string &buffer, std::size_t &mark, const std::string &text, milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const auto at = buffer.find(text, mark);
        if (at != std::string::npos) {
            mark = at + text.size();
            return true;
        }
        if (Clock::now() >= deadline || !Pump(milliseconds(std::min(Remaining(deadline), 50)))) {
            // One last look: the pipes may have closed right after the text came.
            const auto last = buffer.find(text, mark);
            if (last != std::string::npos) {
                mark = last + text.size();
                return true;
            }
            return false;
        }
    }
}

bool ChildProcess::WaitForOut(const std::string &text, milliseconds limit) {
    return WaitFor(out_, outMark_, text, limit);
}

bool ChildProcess::WaitForErr(const std::string &text, milliseconds limit) {
    return WaitFor(err_, errMark_, text, limit);
}

void ChildProcess::Signal(int signal) {
    if (pid_ > 0) {
        kill(pid_, signal);
    }
}

void ChildProcess::Reap(Outcome &outcome, int status) {
    pid_ = -1;
    outcome.seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    if (WIFEXITED(status)) {
        outcome.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        outcome.signal = WTERMSIG(status);
    }
}

Outcome ChildProcess::Finish(milliseconds limit) {
    Outcome outcome;
    const auto deadline = Clock::now() + limit;
    CloseInput();
    while (Clock::now() < deadline && Pump(milliseconds(std::min(Remaining(deadline), 100)))) {
    }
    while (pid_ > 0) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            Reap(outcome, status);
            break;
        }
        if (Clock::now() >= deadline) {
            outcome.timedOut = true;
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            Reap(outcome, status);
            break;
        }
        usleep(5000);
    }
    // Whatever the child wrote just before it ended.
    for (int i = 0; i < 100 && Pump(milliseconds(10)); ++i) {
    }
    outcome.out = out_;
    outcome.err = err_;
    return outcome;
}

Outcome Run(const std::vector<std::string> &argv, const std::string &workDir, const std::string &input,
            milliseconds limit) {
    ChildProcess child;
    std::string error;
    if (!child.Start(argv, workDir, error)) {
        Outcome failed;
        failed.err = "cannot start " + (argv.empty() ? std::string("?") : argv[0]) + ": " + error;
        return failed;
    }
    child.Write(input);
    return child.Finish(limit);
}

} // namespace e2e
