#include "bench_support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <numeric>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace orvbench {

Summary Summarize(std::vector<double> samples) {
    Summary s;
    s.n = samples.size();
    if (samples.empty()) {
        return s;
    }
    std::sort(samples.begin(), samples.end());
    // Nearest rank: the smallest sample with at least p% of the samples at or below it.
    auto rank = [&samples](double p) {
        const auto r = static_cast<std::size_t>(std::ceil(p * static_cast<double>(samples.size())));
        return samples[std::clamp<std::size_t>(r, 1, samples.size()) - 1];
    };
    s.min = samples.front();
    s.max = samples.back();
    s.median = rank(0.5);
    s.p99 = rank(0.99);
    s.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(samples.size());
    return s;
}

LineFit FitLine(const std::vector<double> &x, const std::vector<double> &y) {
    LineFit f;
    const std::size_t n = std::min(x.size(), y.size());
    if (n < 2) {
        return f;
    }
    const double nx = static_cast<double>(n);
    const double mx = std::accumulate(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(n), 0.0) / nx;
    const double my = std::accumulate(y.begin(), y.begin() + static_cast<std::ptrdiff_t>(n), 0.0) / nx;
    double sxx = 0, sxy = 0, syy = 0;
    for (std::size_t i = 0; i < n; ++i) {
        sxx += (x[i] - mx) * (x[i] - mx);
        sxy += (x[i] - mx) * (y[i] - my);
        syy += (y[i] - my) * (y[i] - my);
    }
    if (sxx == 0) {
        return f;
    }
    f.slope = sxy / sxx;
    f.intercept = my - f.slope * mx;
    f.r2 = syy == 0 ? 1.0 : (sxy * sxy) / (sxx * syy);
    return f;
}

std::vector<std::string> JudgeShortRun(double floorMedianUs, const std::vector<ExchangeFigures> &exchanges,
                                       const ShortLimits &limits) {
    std::vector<std::string> failures;
    char line[256];
    if (!(floorMedianUs > 0)) {
        failures.emplace_back("no 1 ms sleep was measured");
        return failures;
    }
    if (exchanges.empty()) {
        failures.emplace_back("no exchange was measured");
    }
    for (const ExchangeFigures &e : exchanges) {
        if (!(e.medianUs > 0) || !(e.wallUsPerExchange > 0)) {
            std::snprintf(line, sizeof line, "%s: not measured", e.name.c_str());
            failures.emplace_back(line);
            continue;
        }
        const double ratio = e.medianUs / floorMedianUs;
        if (ratio > limits.maxExchangeOverFloor) {
            std::snprintf(line, sizeof line, "%s: median %.0f us is %.2f x the 1 ms sleep (%.0f us), limit %.2f x",
                          e.name.c_str(), e.medianUs, ratio, floorMedianUs, limits.maxExchangeOverFloor);
            failures.emplace_back(line);
        }
        const double share = e.cpuUsPerExchange / e.wallUsPerExchange;
        if (share > limits.maxCpuShare) {
            std::snprintf(line, sizeof line, "%s: CPU %.1f us per exchange is %.1f%% of its wall time, limit %.0f%%",
                          e.name.c_str(), e.cpuUsPerExchange, 100 * share, 100 * limits.maxCpuShare);
            failures.emplace_back(line);
        }
    }
    return failures;
}

std::uint16_t ExpectedWord(int card, int secondary, int element) {
    // Card, secondary and element each keep their own bits (element up to
    // 255), so a value read from the wrong place cannot pass for the right one.
    return static_cast<std::uint16_t>((card & 7) << 13 | (secondary & 31) << 8 | (element & 0xFF));
}

std::uint16_t CardSegment(int card) {
    return static_cast<std::uint16_t>(0xC800 + 0x100 * card);
}

std::string NetworkConfigText(int cards, int secondaries, int words) {
    std::ostringstream out;
    out << "# written by orvtiw_bench\n";
    char buf[32];
    for (int c = 0; c < cards; ++c) {
        std::snprintf(buf, sizeof buf, "card %04X\n", CardSegment(c));
        out << buf;
        for (int s = 1; s <= secondaries; ++s) {
            out << "secondary " << s << " defaults\n";
            if (words > 0) {
                out << "value 0x01 1";
                for (int e = 1; e <= words; ++e) {
                    out << ' ' << ExpectedWord(c, s, e);
                }
                out << '\n';
            }
        }
    }
    return out.str();
}

std::string InitFileText(int card) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04X;800\n", CardSegment(card));
    return buf;
}

double LineTimeUs(std::size_t bytes, double bitsPerSecond) {
    return static_cast<double>(bytes) * 8.0 * 1e6 / bitsPerSecond;
}

std::uint32_t DelayMsFor(double lineUs) {
    if (!(lineUs > 0)) {
        return 0;
    }
    return static_cast<std::uint32_t>(std::ceil(lineUs / 1000.0));
}

SimProcess::~SimProcess() {
    Stop();
}

bool SimProcess::Start(const std::string &program, const std::string &device, const std::string &dir,
                       const std::vector<std::string> &extra, std::string &error) {
    control_ = dir + "/control";
    ready_ = dir + "/ready";
    const std::string log = dir + "/tiwaysim.log";
    unlink(ready_.c_str());
    std::vector<std::string> args = {program, "--device", device, "--control", control_, "--ready-file", ready_};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char *> argv;
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    pid_ = pid;
    for (int i = 0; i < 1000; ++i) {
        if (access(ready_.c_str(), R_OK) == 0) {
            return true;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            std::ifstream in(log);
            std::stringstream text;
            text << in.rdbuf();
            error = "tiwaysim exited before it was ready: " + text.str();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    error = "tiwaysim was not ready within 10 s";
    Stop();
    return false;
}

bool SimProcess::Control(const std::string &command, std::string &answer) const {
    answer.clear();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (control_.empty() || control_.size() >= sizeof addr.sun_path) {
        answer = "no control socket";
        return false;
    }
    std::memcpy(addr.sun_path, control_.c_str(), control_.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        answer = std::strerror(errno);
        return false;
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        answer = std::string("connect: ") + std::strerror(errno);
        close(fd);
        return false;
    }
    const std::string line = command + "\n";
    if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        answer = "send failed";
        close(fd);
        return false;
    }
    // The simulator looks at its socket every 10 ms; three seconds is plenty.
    char buf[256];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 3000) <= 0) {
            break;
        }
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        answer.append(buf, static_cast<std::size_t>(n));
        if (answer.find('\n') != std::string::npos) {
            break;
        }
    }
    close(fd);
    if (const auto nl = answer.find('\n'); nl != std::string::npos) {
        answer.resize(nl);
    }
    return answer == "ok";
}

bool SimProcess::Stop() {
    if (pid_ < 0) {
        return false;
    }
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500; ++i) {
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return false;
}

double SimProcess::CpuSeconds() const {
    if (pid_ < 0) {
        return -1;
    }
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string text;
    std::getline(in, text);
    // Fields after the command name, which is in parentheses and may hold spaces.
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
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

} // namespace orvbench
