#include "sim_process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "control_socket.h"

namespace tiwaysim {
namespace {

// Its ready file appears within milliseconds on an idle machine; a shared
// one gets ample time before the start counts as failed.
constexpr int kReadyPolls = 1000;
constexpr int kStopPolls = 500;
constexpr auto kPollPause = std::chrono::milliseconds(10);

std::string ReadAll(const std::string &path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

pid_t SpawnLogged(std::vector<std::string> args, const std::string &logPath, bool truncate, std::string &error) {
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND), 0600);
    if (log < 0) {
        error = "cannot open " + logPath + ": " + std::strerror(errno);
        return -1;
    }
    std::vector<char *> argv;
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        close(log);
        error = std::string("fork: ") + std::strerror(errno);
        return -1;
    }
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(log);
    return pid;
}

SimProcess::SimProcess(std::string program, std::string device, std::string dir, std::vector<std::string> standing)
    : program_(std::move(program)), device_(std::move(device)), dir_(std::move(dir)), standing_(std::move(standing)) {}

SimProcess::~SimProcess() {
    if (pid_ > 0) {
        Stop();
    }
}

bool SimProcess::Start(std::string &error, const std::vector<std::string> &extra) {
    if (pid_ > 0) {
        error = "tiwaysim is already running (pid " + std::to_string(pid_) + ")";
        return false;
    }
    const std::string ready = dir_ + "/ready";
    unlink(ready.c_str());
    std::vector<std::string> args = {program_, "--device", device_, "--control", ControlPath(), "--ready-file", ready};
    args.insert(args.end(), standing_.begin(), standing_.end());
    args.insert(args.end(), extra.begin(), extra.end());
    logStart_ = Log().size();
    const pid_t pid = SpawnLogged(std::move(args), LogPath(), false, error);
    if (pid < 0) {
        return false;
    }
    pid_ = pid;
    for (int i = 0; i < kReadyPolls; ++i) {
        // The simulator writes the file whole (renamed into place), holding its pid.
        std::ifstream in(ready);
        pid_t written = 0;
        if (in >> written && written == pid_) {
            return true;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error = "tiwaysim exited before getting ready:\n" + Log().substr(logStart_);
            return false;
        }
        std::this_thread::sleep_for(kPollPause);
    }
    Kill();
    error = "tiwaysim did not get ready within 10 s:\n" + Log().substr(logStart_);
    return false;
}

bool SimProcess::Alive() {
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
    }
    return pid_ > 0;
}

void SimProcess::Kill() {
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

bool SimProcess::Stop() {
    if (pid_ <= 0) {
        return false;
    }
    kill(pid_, SIGTERM);
    int status = 0;
    bool exited = false;
    for (int i = 0; i < kStopPolls && !exited; ++i) {
        exited = waitpid(pid_, &status, WNOHANG) == pid_;
        if (!exited) {
            std::this_thread::sleep_for(kPollPause);
        }
    }
    if (!exited) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    const std::string log = Log();
    return exited && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           log.find("tiwaysim: stopped", std::min(logStart_, log.size())) != std::string::npos;
}

std::string SimProcess::Control(const std::string &command) const {
    std::string answer;
    if (!SendControl(ControlPath(), command, answer)) {
        return "unreachable: " + answer;
    }
    return answer;
}

bool SimProcess::Control(const std::string &command, std::string &answer) const {
    answer = Control(command);
    return answer == "ok";
}

double CpuSecondsOf(pid_t pid) {
    if (pid <= 0) {
        return -1;
    }
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(in, text);
    // Fields after the command name, which is in parentheses and may hold spaces.
    const auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 > text.size()) {
        return -1;
    }
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) {
            utime = std::stoull(field);
        } else if (i == 15) {
            stime = std::stoull(field);
        }
    }
    const long ticks = sysconf(_SC_CLK_TCK);
    return ticks > 0 ? static_cast<double>(utime + stime) / static_cast<double>(ticks) : -1;
}

double SimProcess::CpuSeconds() const {
    return CpuSecondsOf(pid_);
}

std::string SimProcess::Log() const {
    return ReadAll(LogPath());
}

} // namespace tiwaysim
