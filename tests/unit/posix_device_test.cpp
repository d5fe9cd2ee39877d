// The POSIX stand-in for the kernel driver: a device file mapped by range.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/platform.h"

namespace orvtiw {
namespace {

class PosixDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/orvtiw-device-XXXXXX";
        const int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        path = name;
        ASSERT_EQ(ftruncate(fd, kSize), 0);
        ASSERT_EQ(fchmod(fd, 0600), 0);
        close(fd);
    }
    void TearDown() override { unlink(path.c_str()); }

    DeviceHandle open() {
        return SystemPlatform().openDevice(path.c_str(), kGenericReadWrite, kShareNone, kOpenExisting,
                                           kFileAttributeNormal);
    }
    std::uint8_t *map(DeviceHandle device, std::uint32_t address, std::uint32_t length) {
        MapRequest request{1, 0, address, 0, 0, length};
        std::uint8_t *window = nullptr;
        std::uint32_t returned = 0;
        if (SystemPlatform().deviceControl(device, kIoctlMapCardMemory, &request, sizeof request, &window,
                                           sizeof window, &returned) == 0) {
            return nullptr;
        }
        return window;
    }
    void unmap(DeviceHandle device, std::uint8_t *window) {
        std::uint32_t returned = 0;
        EXPECT_EQ(SystemPlatform().deviceControl(device, kIoctlUnmapCardMemory, &window, sizeof window, nullptr, 0,
                                                 &returned),
                  1);
    }

    static constexpr off_t kSize = 1 << 20;
    std::string path;
};

TEST_F(PosixDeviceTest, MappedWindowSharesMemoryWithASecondMapping) {
    const DeviceHandle device = open();
    ASSERT_NE(device, kInvalidDevice);
    std::uint8_t *window = map(device, 0xC8000, 0x800); // not page aligned within the file
    ASSERT_NE(window, nullptr);

    const int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    void *whole = mmap(nullptr, static_cast<std::size_t>(kSize), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(whole, MAP_FAILED);
    auto *bytes = static_cast<std::uint8_t *>(whole);
    bytes[0xC8000 + 1023] = 0x5A;
    EXPECT_EQ(static_cast<volatile std::uint8_t *>(window)[1023], 0x5A);
    window[1022] = 0xA5;
    EXPECT_EQ(static_cast<volatile std::uint8_t *>(bytes)[0xC8000 + 1022], 0xA5);
    munmap(whole, static_cast<std::size_t>(kSize));
    ::close(fd);

    unmap(device, window);
    EXPECT_EQ(SystemPlatform().closeHandle(device), 1);
}

TEST_F(PosixDeviceTest, RangeOutsideTheFileIsNotMapped) {
    const DeviceHandle device = open();
    ASSERT_NE(device, kInvalidDevice);
    EXPECT_EQ(map(device, static_cast<std::uint32_t>(kSize) - 0x400, 0x800), nullptr);
    EXPECT_EQ(map(device, 0xFFFFFC00u, 0x800), nullptr);
    EXPECT_EQ(map(device, 0xC8000, 0), nullptr);
    std::uint8_t *last = map(device, static_cast<std::uint32_t>(kSize) - 0x800, 0x800);
    EXPECT_NE(last, nullptr);
    unmap(device, last);
    SystemPlatform().closeHandle(device);
}

TEST_F(PosixDeviceTest, FileWritableByOthersIsRefused) {
    for (mode_t mode : {0620u, 0602u, 0666u}) {
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
        EXPECT_EQ(open(), kInvalidDevice) << std::oct << mode;
    }
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    const DeviceHandle device = open();
    EXPECT_NE(device, kInvalidDevice);
    SystemPlatform().closeHandle(device);
}

// A card window is one host's while mapped: not a second channel's, not even
// one of this process through another descriptor; a neighbouring card's
// window in the same page is free; another descriptor's close leaves the
// lock in place (a process's record locks would go with it); unmapping frees it.
TEST_F(PosixDeviceTest, MappedWindowKeepsOtherHostsOut) {
    const DeviceHandle first = open();
    const DeviceHandle second = open();
    ASSERT_NE(first, kInvalidDevice);
    ASSERT_NE(second, kInvalidDevice);
    std::uint8_t *window = map(first, 0xC8000, 0x800);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(map(second, 0xC8400, 0x800), nullptr) << "overlaps the mapped window";
    std::uint8_t *neighbour = map(second, 0xC8800, 0x800);
    ASSERT_NE(neighbour, nullptr) << "the next card's window, in the same page";
    unmap(second, neighbour);
    SystemPlatform().closeHandle(second);

    const DeviceHandle third = open();
    ASSERT_NE(third, kInvalidDevice);
    EXPECT_EQ(map(third, 0xC8000, 0x800), nullptr) << "still held after another descriptor closed";
    unmap(first, window);
    std::uint8_t *again = map(third, 0xC8000, 0x800);
    EXPECT_NE(again, nullptr) << "free once unmapped";
    unmap(third, again);
    SystemPlatform().closeHandle(third);
    SystemPlatform().closeHandle(first);
}

TEST_F(PosixDeviceTest, MissingFileFailsToOpen) {
    EXPECT_EQ(SystemPlatform().openDevice("/nonexistent/GRELMIN", kGenericReadWrite, kShareNone, kOpenExisting,
                                          kFileAttributeNormal),
              kInvalidDevice);
}

TEST(PosixClock, SleepAdvancesTheTickCount) {
    const std::uint32_t before = SystemPlatform().tickCount();
    SystemPlatform().sleepMs(3);
    const std::uint32_t passed = SystemPlatform().tickCount() - before;
    EXPECT_GE(passed, 2u);
    EXPECT_LT(passed, 1000u);
}

} // namespace
} // namespace orvtiw
