// The device file the driver opens for a card, and the host's account of
// why it would not open it or map a card window: the driver says only that
// it failed, in its own words, which stay as they are.
#include <string>

#include "orvtiw/host.h"

#if !defined(_WIN32)
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifndef ORVTIW_DEVICE_PATH
#define ORVTIW_DEVICE_PATH "/dev/shm/GRELMIN"
#endif

namespace orvtiw::host {

const char *DevicePath() {
#if defined(_WIN32)
    return "\\\\.\\GRELMIN";
#else
    return ORVTIW_DEVICE_PATH;
#endif
}

#if defined(_WIN32)

std::string ExplainDeviceRefusal(const std::string &, std::uint32_t, std::uint32_t) {
    return {};
}

#else

namespace {

// A look through /proc for a lock's holder is bounded, whatever the machine
// runs: processes looked at, and descriptors looked at in all.
constexpr int kMaxProcesses = 1 << 16;
constexpr long kMaxDescriptors = 1L << 20;
constexpr std::size_t kMaxFdinfoLines = 4096;

std::string ErrnoText(int error) {
    return std::string(std::strerror(error)) + " (errno " + std::to_string(error) + ")";
}

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// "PATH" or "PATH (a link to TARGET)".
std::string Shown(const std::string &path) {
    char target[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) {
        return path;
    }
    return path + " (a link to " + std::string(target, static_cast<std::size_t>(n)) + ")";
}

// True when a line of /proc/PID/fdinfo/FD tells of a write record lock
// (not a flock, such as tiwaysim's on the whole file) over [first, last].
bool WriteLockOver(const std::string &line, std::uint64_t first, std::uint64_t last) {
    if (line.rfind("lock:", 0) != 0) {
        return false;
    }
    std::istringstream fields(line);
    std::vector<std::string> f;
    for (std::string field; f.size() < 16 && fields >> field;) {
        f.push_back(field);
    }
    bool record = false;
    bool write = false;
    for (const std::string &field : f) {
        record = record || field == "OFDLCK" || field == "POSIX";
        write = write || field == "WRITE";
    }
    if (!record || !write || f.size() < 2) {
        return false;
    }
    const std::string &endText = f[f.size() - 1];
    const std::uint64_t start = std::strtoull(f[f.size() - 2].c_str(), nullptr, 10);
    const std::uint64_t end = endText == "EOF" ? UINT64_MAX : std::strtoull(endText.c_str(), nullptr, 10);
    return start <= last && end >= first;
}

bool DescriptorHoldsLock(const std::string &fdinfo, std::uint64_t first, std::uint64_t last) {
    std::ifstream in(fdinfo);
    std::string line;
    for (std::size_t n = 0; n < kMaxFdinfoLines && std::getline(in, line); ++n) {
        if (WriteLockOver(line, first, last)) {
            return true;
        }
    }
    return false;
}

// The process that holds a write lock over [first, last] through a
// descriptor of the file `device`, or 0 when none this user may look at
// does. Lock queries do not name the holder of an open file description
// lock, so its descriptors in /proc are looked for.
pid_t LockHolder(const struct stat &device, std::uint64_t first, std::uint64_t last) {
    DIR *proc = opendir("/proc");
    if (proc == nullptr) {
        return 0;
    }
    pid_t holder = 0;
    long descriptors = 0;
    int processes = 0;
    for (dirent *p = readdir(proc); p != nullptr && holder == 0 && processes < kMaxProcesses; p = readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(p->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid > INT_MAX) {
            continue;
        }
        ++processes;
        const std::string fdDir = std::string("/proc/") + p->d_name + "/fd";
        DIR *fds = opendir(fdDir.c_str());
        if (fds == nullptr) {
            continue; // gone, or not this user's to look at
        }
        for (dirent *d = readdir(fds); d != nullptr && descriptors < kMaxDescriptors; d = readdir(fds)) {
            if (d->d_name[0] == '.') {
                continue;
            }
            ++descriptors;
            struct stat st {};
            if (stat((fdDir + "/" + d->d_name).c_str(), &st) != 0 || st.st_dev != device.st_dev ||
                st.st_ino != device.st_ino) {
                continue;
            }
            if (DescriptorHoldsLock(std::string("/proc/") + p->d_name + "/fdinfo/" + d->d_name, first, last)) {
                holder = static_cast<pid_t>(pid);
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return holder;
}

std::string ProcessName(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name.substr(0, 64);
}

// Who keeps the window: a lock query, then the holder's name.
std::string Holder(int fd, const struct stat &st, std::uint64_t first, std::uint64_t last) {
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = static_cast<off_t>(first);
    probe.l_len = static_cast<off_t>(last - first + 1);
#if defined(F_OFD_GETLK)
    if (fcntl(fd, F_OFD_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) {
        return {};
    }
    const pid_t pid = LockHolder(st, first, last);
#else
    (void)st;
    if (fcntl(fd, F_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) {
        return {};
    }
    const pid_t pid = probe.l_pid;
#endif
    if (pid <= 0) {
        return "a process this user may not look at";
    }
    const std::string name = ProcessName(pid);
    const std::string who = "process " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
    return pid == getpid() ? "another channel of this " + who : who;
}

} // namespace

std::string ExplainDeviceRefusal(const std::string &path, std::uint32_t address, std::uint32_t length) {
    const std::string shown = Shown(path);
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        std::string rule;
        if (error == ENOENT) {
            rule = "missing file (no card memory device, and no simulator serving one, at that path)";
        } else if (error == EACCES || error == EPERM) {
            rule = "permission: effective user uid " + std::to_string(geteuid()) +
                   " may not open it for reading and writing";
        } else {
            rule = "it cannot be opened for reading and writing";
        }
        return "cannot open " + shown + ": " + ErrnoText(error) + ": " + rule;
    }
    struct Closer {
        int fd;
        ~Closer() {
            close(fd);
        }
    } closer{fd};
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return "cannot examine " + shown + ": " + ErrnoText(errno);
    }
    const std::string refused =
        "refused " + shown + " (owner uid " + std::to_string(st.st_uid) + ", mode " + Octal(st.st_mode) + "): ";
    if (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode)) {
        return refused + "neither a plain file nor a character device";
    }
    if (st.st_uid != geteuid() && st.st_uid != 0) {
        return refused + "not owned by the effective user (uid " + std::to_string(geteuid()) + ") or root";
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return refused + "writable by group or others";
    }
    if (length == 0) {
        return "cannot map an empty card window of " + shown;
    }
    const std::uint64_t first = address;
    const std::uint64_t last = first + length - 1;
    const std::string window = "cannot map the card window " + Hex(first) + ".." + Hex(last) + " of " + shown + ": ";
    if (S_ISREG(st.st_mode) && last >= static_cast<std::uint64_t>(st.st_size)) {
        return window + "the window outside the file (" + std::to_string(st.st_size) + " bytes)";
    }
    const std::string holder = Holder(fd, st, first, last);
    if (!holder.empty()) {
        return window + ErrnoText(EAGAIN) + ": another host drives this card: " + holder;
    }
    return {};
}

#endif

} // namespace orvtiw::host
