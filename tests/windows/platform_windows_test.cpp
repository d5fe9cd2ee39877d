// The driver's Windows bindings against the real kernel32 and KELMAR.dll:
// the device open flags, the control call's failure path, the clock and the
// logging import. Run under wine64.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "channel/logging.h"
#include "link/platform.h"

namespace orvtiw {
namespace {

DeviceHandle OpenLikeTheDriver(const std::string &path) {
    return SystemPlatform().openDevice(path.c_str(), kGenericReadWrite, kShareNone, kOpenExisting,
                                       kFileAttributeNormal);
}

class WindowsPlatform : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[MAX_PATH + 1] = {};
        char name[MAX_PATH + 1] = {};
        ASSERT_NE(GetTempPathA(MAX_PATH, folder), 0u);
        ASSERT_NE(GetTempFileNameA(folder, "orv", 0, name), 0u); // creates the file
        path = name;
    }
    void TearDown() override { DeleteFileA(path.c_str()); }

    std::string path;
};

TEST_F(WindowsPlatform, KernelDriverDeviceIsAbsentHereAndReportedInvalid) {
    EXPECT_STREQ(DevicePath(), "\\\\.\\GRELMIN");
    EXPECT_EQ(OpenLikeTheDriver(DevicePath()), kInvalidDevice);
}

TEST_F(WindowsPlatform, OpenTakesTheDeviceExclusivelyAndNeverCreatesIt) {
    const DeviceHandle first = OpenLikeTheDriver(path);
    ASSERT_NE(first, kInvalidDevice);
    // Share mode 0: a second opener is refused while the first holds it.
    EXPECT_EQ(OpenLikeTheDriver(path), kInvalidDevice);
    EXPECT_EQ(SystemPlatform().closeHandle(first), 1);
    const DeviceHandle again = OpenLikeTheDriver(path);
    EXPECT_NE(again, kInvalidDevice);
    EXPECT_EQ(SystemPlatform().closeHandle(again), 1);

    // OPEN_EXISTING: a missing device is a failed open, not a new file.
    const std::string missing = path + ".missing";
    EXPECT_EQ(OpenLikeTheDriver(missing), kInvalidDevice);
    EXPECT_EQ(GetFileAttributesA(missing.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(WindowsPlatform, ControlCallThatTheDeviceRejectsReportsFailure) {
    const DeviceHandle device = OpenLikeTheDriver(path);
    ASSERT_NE(device, kInvalidDevice);
    const MapRequest request{1, 0, 0xC8000, 0, 0, 0x800};
    std::uint32_t output = 0;
    std::uint32_t bytes = 0xDEADBEEF;
    // A plain file knows no map code, so the call must come back as failed.
    EXPECT_EQ(SystemPlatform().deviceControl(device, kIoctlMapCardMemory, &request, sizeof request, &output,
                                             sizeof output, &bytes),
              0);
    EXPECT_EQ(output, 0u);
    EXPECT_NE(bytes, 0xDEADBEEFu) << "the byte count is written on every call";
    EXPECT_EQ(SystemPlatform().deviceControl(device, kIoctlUnmapCardMemory, &output, sizeof output, nullptr, 0,
                                             nullptr),
              0);
    EXPECT_EQ(SystemPlatform().closeHandle(device), 1);
}

TEST(WindowsClock, TickCountCountsMillisecondsOfSleep) {
    // Sleeps in 10 ms steps until the clock has moved 100 ms; a clock in any
    // other unit, or one that does not move, needs far fewer or far more
    // steps. Wine updates the tick in steps of about 16 ms, so no single
    // sleep is measured.
    const PlatformCalls &os = SystemPlatform();
    const std::uint32_t before = os.tickCount();
    int steps = 0;
    std::uint32_t elapsed = 0;
    while (steps < 200 && elapsed < 100) {
        os.sleepMs(10);
        ++steps;
        elapsed = os.tickCount() - before; // wraps like the driver's own arithmetic
    }
    EXPECT_GE(elapsed, 100u);
    EXPECT_GE(steps, 5) << elapsed << " ms in " << steps << " sleeps of 10 ms";
    EXPECT_LE(steps, 100) << elapsed << " ms in " << steps << " sleeps of 10 ms";
}

TEST(WindowsLogging, DriverMessagesGoToKelmarsErr) {
    HMODULE kelmar = GetModuleHandleA("KELMAR.dll");
    ASSERT_NE(kelmar, nullptr) << "the import of err loads KELMAR.dll with the program";
    FARPROC exported = GetProcAddress(kelmar, "err");
    ASSERT_NE(exported, nullptr);
    SetErrFunction(nullptr);
    EXPECT_EQ(reinterpret_cast<void *>(CurrentErr()), reinterpret_cast<void *>(exported));
}

} // namespace
} // namespace orvtiw
