#include "device_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tiwaysim {
namespace {

std::string Failure(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + std::strerror(errno);
}

} // namespace

DeviceFile::~DeviceFile() {
    if (base_ != nullptr) {
        munmap(base_, size_);
    }
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool DeviceFile::Open(const std::string &path, std::string &error) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    created_ = fd >= 0;
    if (fd < 0 && errno == EEXIST) {
        fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) {
        error = Failure("cannot open", path);
        return false;
    }
    fd_ = fd;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        error = Failure("cannot examine", path);
        return false;
    }
    // Whoever can write this file can forge the card's replies to the driver.
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        error = path + " is not a plain file owned by this user with mode 0600";
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? path + " is served by another simulator" : Failure("cannot lock", path);
        return false;
    }
    if (created_ && fchmod(fd, 0600) != 0) {
        error = Failure("cannot set the mode of", path);
        return false;
    }
    if (static_cast<std::size_t>(st.st_size) < kDeviceSize && ftruncate(fd, static_cast<off_t>(kDeviceSize)) != 0) {
        error = Failure("cannot size", path);
        return false;
    }
    void *base = mmap(nullptr, kDeviceSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        error = Failure("cannot map", path);
        return false;
    }
    base_ = static_cast<std::uint8_t *>(base);
    size_ = kDeviceSize;
    return true;
}

std::uint8_t *DeviceFile::Window(std::uint32_t address, std::size_t length) const {
    if (base_ == nullptr || address > size_ || length > size_ - address) {
        return nullptr;
    }
    return base_ + address;
}

} // namespace tiwaysim
