#include "control_socket.h"

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tiwaysim {
namespace {

// A command line longer than this is refused; a client that sends nothing
// is given this long before it is dropped.
constexpr std::size_t kMaxCommand = 512;
// An answer may be longer than a command: a read of many values.
constexpr std::size_t kMaxAnswer = 8192;
constexpr int kClientWaitMs = 200;
constexpr int kAnswerWaitMs = 3000; // the simulator looks at its socket every few ms
constexpr int kClientsPerPoll = 8;

bool Address(const std::string &path, sockaddr_un &addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Reads up to a newline (or the peer closing its side) within the wait.
bool ReadLine(int fd, std::string &line, int waitMs, std::size_t maxLength) {
    char buf[128];
    while (line.size() <= maxLength) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0) {
            return false;
        }
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return !line.empty();
        }
        line.append(buf, static_cast<std::size_t>(n));
        const std::size_t nl = line.find('\n');
        if (nl != std::string::npos) {
            line.resize(nl);
            return true;
        }
    }
    return false;
}

void WriteAll(int fd, std::string text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

int Connect(const std::string &path) {
    sockaddr_un addr{};
    if (!Address(path, addr)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

} // namespace

ControlServer::~ControlServer() {
    if (fd_ >= 0) {
        close(fd_);
        unlink(path_.c_str());
    }
}

bool ControlServer::Listen(const std::string &path, std::string &error) {
    sockaddr_un addr{};
    if (!Address(path, addr)) {
        error = "control path too long: " + path;
        return false;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket";
            return false;
        }
        const int live = Connect(path);
        if (live >= 0) {
            close(live);
            error = path + " is in use by a running simulator";
            return false;
        }
        unlink(path.c_str()); // left behind by a simulator that did not stop cleanly
    }
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 || listen(fd_, 8) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
        return false;
    }
    chmod(path.c_str(), 0600);
    path_ = path;
    return true;
}

void ControlServer::Poll(const std::function<std::string(std::string_view)> &handle) {
    for (int i = 0; i < kClientsPerPoll && fd_ >= 0; ++i) {
        const int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            return;
        }
        std::string line;
        if (ReadLine(client, line, kClientWaitMs, kMaxCommand)) {
            WriteAll(client, handle(line) + "\n");
        } else {
            WriteAll(client, "error: no command line\n");
        }
        close(client);
    }
}

bool SendControl(const std::string &path, const std::string &command, std::string &answer) {
    if (command.size() > kMaxCommand || command.find('\n') != std::string::npos) {
        answer = "command too long or more than one line";
        return false;
    }
    const int fd = Connect(path);
    if (fd < 0) {
        answer = "cannot reach " + path + ": " + std::strerror(errno);
        return false;
    }
    WriteAll(fd, command + "\n");
    std::string line;
    const bool ok = ReadLine(fd, line, kAnswerWaitMs, kMaxAnswer);
    close(fd);
    answer = ok ? line : "no answer from " + path;
    return ok;
}

} // namespace tiwaysim
