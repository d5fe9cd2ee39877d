#include "gate_process.h"

#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "sim_process.h"

namespace orvlive {
namespace {

constexpr char kServing[] = "orvgate: serving Modbus TCP";
constexpr auto kPoll = std::chrono::milliseconds(20);

} // namespace

GateProcess::GateProcess(std::string program, std::string logPath)
    : program_(std::move(program)), logPath_(std::move(logPath)) {}

GateProcess::~GateProcess() {
    Kill();
}

bool GateProcess::Start(const std::vector<std::string> &args, std::string &error, std::chrono::seconds limit) {
    std::vector<std::string> all = {program_};
    all.insert(all.end(), args.begin(), args.end());
    const pid_t pid = tiwaysim::SpawnLogged(std::move(all), logPath_, true, error);
    if (pid < 0) {
        return false;
    }
    pid_ = pid;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Log().find(kServing) == std::string::npos) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error = "orvgate ended before it served:\n" + Log();
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            Kill();
            error = "orvgate did not serve in time:\n" + Log();
            return false;
        }
        std::this_thread::sleep_for(kPoll);
    }
    return true;
}

int GateProcess::Stop(int signal) {
    if (pid_ <= 0) {
        return -1;
    }
    kill(pid_, signal);
    int status = 0;
    for (int i = 0; i < 1500; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(kPoll);
    }
    Kill();
    return -1;
}

void GateProcess::Kill() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

std::string GateProcess::Log() const {
    std::ifstream in(logPath_);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

long GateProcess::RssKb() const {
    if (pid_ <= 0) {
        return -1;
    }
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

} // namespace orvlive

namespace orvlive {

double GateProcess::CpuSeconds() const {
    return tiwaysim::CpuSecondsOf(pid_);
}

} // namespace orvlive
