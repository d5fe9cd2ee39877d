// The memory device file that stands for the card's physical memory: byte P
// of the file is physical address P. tiwaysim creates it (mode 0600) or
// checks that an existing one is a plain file of ours that nobody else can
// touch, locks it so no second simulator serves it, and maps it whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tiwaysim {

inline constexpr std::size_t kDeviceSize = 1u << 20; // 1 MiB: real-mode segments 0000..FFFF

class DeviceFile {
public:
    DeviceFile() = default;
    ~DeviceFile();
    DeviceFile(const DeviceFile &) = delete;
    DeviceFile &operator=(const DeviceFile &) = delete;

    // False with a message when the file cannot be created, is not ours,
    // is open to others, or another simulator holds it.
    bool Open(const std::string &path, std::string &error);

    // The window of `length` bytes at physical address `address`, or nullptr
    // when it does not lie inside the file.
    std::uint8_t *Window(std::uint32_t address, std::size_t length) const;

    bool created() const { return created_; }

private:
    int fd_ = -1;
    std::uint8_t *base_ = nullptr;
    std::size_t size_ = 0;
    bool created_ = false;
};

} // namespace tiwaysim
