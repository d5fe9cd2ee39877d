// The platform calls on POSIX. Without the kernel driver, the device is a
// file whose byte at offset P is physical address P (as /dev/mem is), mapped
// with mmap; tiwaysim creates it and plays the card behind it.
//
// A mapped card window is one host's: a write lock on the window's bytes of
// the device file, taken before the window is mapped and given up when it is
// unmapped or its descriptor closes (so when the process dies), keeps a
// second host out of a mailbox that a first one drives.
#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/platform.h"

#ifndef ORVTIW_DEVICE_PATH
#define ORVTIW_DEVICE_PATH "/dev/shm/GRELMIN"
#endif

namespace orvtiw {
namespace {

// The windows mapped so far, so that an unmap by address can find the page
// range behind it. A handful of channels per process is the norm.
struct Mapping {
    std::uint8_t *window;
    void *base;
    std::size_t length;
    int fd;          // the descriptor whose lock holds the window
    off_t lockStart; // the window's bytes in the device file
    off_t lockLength;
};
constexpr int kMaxMappings = 64;
Mapping gMappings[kMaxMappings];

// A device file anyone could write would let anyone forge the card's replies.
bool TrustedDevice(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return false;
    }
    if (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode)) {
        return false;
    }
    if (st.st_uid != geteuid() && st.st_uid != 0) {
        return false;
    }
    return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

DeviceHandle PosixOpenDevice(const char *path, std::uint32_t access, std::uint32_t, std::uint32_t disposition,
                             std::uint32_t) {
    if (access != kGenericReadWrite || disposition != kOpenExisting) {
        return kInvalidDevice;
    }
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return kInvalidDevice;
    }
    if (!TrustedDevice(fd)) {
        close(fd);
        return kInvalidDevice;
    }
    return fd;
}

// Open file description locks belong to the descriptor, not to the process:
// they keep out a second channel of the same process too, and closing some
// other descriptor of the file (another channel's close) does not drop them,
// as it would a process's record locks. Where they are missing, record locks
// still keep other processes out.
#if defined(F_OFD_SETLK)
constexpr int kSetLock = F_OFD_SETLK;
#else
constexpr int kSetLock = F_SETLK;
#endif

bool LockWindow(int fd, off_t start, off_t length, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = length;
    return fcntl(fd, kSetLock, &lock) == 0;
}

int MapWindow(int fd, const void *in, std::uint32_t inSize, void *out, std::uint32_t outSize,
              std::uint32_t *bytesReturned) {
    if (in == nullptr || inSize != sizeof(MapRequest) || out == nullptr || outSize != sizeof(void *)) {
        return 0;
    }
    MapRequest request;
    std::memcpy(&request, in, sizeof request);
    if (request.addressHigh != 0 || request.length == 0) {
        return 0;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return 0;
    }
    const std::uint64_t start = request.addressLow;
    const std::uint64_t end = start + request.length;
    if (S_ISREG(st.st_mode) && end > static_cast<std::uint64_t>(st.st_size)) {
        return 0;
    }
    int slot = 0;
    while (slot < kMaxMappings && gMappings[slot].window != nullptr) {
        ++slot;
    }
    if (slot == kMaxMappings) {
        return 0;
    }
    // Locks are taken on the window's own bytes, not its pages, so that
    // cards whose windows share a page do not keep each other out.
    const off_t lockStart = static_cast<off_t>(start);
    const off_t lockLength = static_cast<off_t>(request.length);
    if (lockStart < 0 || !LockWindow(fd, lockStart, lockLength, F_WRLCK)) {
        return 0;
    }
    const std::uint64_t page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const std::uint64_t alignedStart = start - start % page;
    const std::size_t length = static_cast<std::size_t>(end - alignedStart);
    void *base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(alignedStart));
    if (base == MAP_FAILED) {
        (void)LockWindow(fd, lockStart, lockLength, F_UNLCK);
        return 0;
    }
    std::uint8_t *window = static_cast<std::uint8_t *>(base) + (start - alignedStart);
    gMappings[slot] = Mapping{window, base, length, fd, lockStart, lockLength};
    std::memcpy(out, &window, sizeof window);
    if (bytesReturned != nullptr) {
        *bytesReturned = sizeof window;
    }
    return 1;
}

int UnmapWindow(const void *in, std::uint32_t inSize) {
    if (in == nullptr || inSize != sizeof(void *)) {
        return 0;
    }
    std::uint8_t *window = nullptr;
    std::memcpy(&window, in, sizeof window);
    for (Mapping &m : gMappings) {
        if (window != nullptr && m.window == window) {
            munmap(m.base, m.length);
            (void)LockWindow(m.fd, m.lockStart, m.lockLength, F_UNLCK);
            m = Mapping{};
            return 1;
        }
    }
    return 0;
}

int PosixDeviceControl(DeviceHandle device, std::uint32_t code, const void *in, std::uint32_t inSize, void *out,
                       std::uint32_t outSize, std::uint32_t *bytesReturned) {
    if (device < 0) {
        return 0;
    }
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    switch (code) {
    case kIoctlMapCardMemory:
        return MapWindow(static_cast<int>(device), in, inSize, out, outSize, bytesReturned);
    case kIoctlUnmapCardMemory:
        return UnmapWindow(in, inSize);
    default:
        return 0;
    }
}

int PosixCloseHandle(DeviceHandle device) {
    return device >= 0 && close(static_cast<int>(device)) == 0 ? 1 : 0;
}

std::uint32_t PosixTickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                             static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

void PosixSleep(std::uint32_t ms) {
    timespec wait{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

const PlatformCalls kPosixCalls = {PosixOpenDevice, PosixDeviceControl, PosixCloseHandle, PosixTickCount,
                                   PosixSleep};

} // namespace

const PlatformCalls &SystemPlatform() {
    return kPosixCalls;
}

const char *DevicePath() {
    return ORVTIW_DEVICE_PATH;
}

} // namespace orvtiw
