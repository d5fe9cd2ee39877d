// The host's account of a device the driver would not open or map: each
// rule named with the path, on files of the test's own.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "link/platform.h"
#include "orvtiw/host.h"
#include "support/temp_dir.h"

namespace orvtiw::host {
namespace {

constexpr std::uint32_t kCard = 0xC8000;
constexpr std::uint32_t kWindow = 0x800;

class DeviceRefusal : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        path_ = dir_.path() + "/card";
        const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 1 << 20), 0);
        ::close(fd);
    }

    // The platform's own open and map, as the driver of another channel makes them.
    void Map() {
        const auto &os = orvtiw::SystemPlatform();
        device_ = os.openDevice(path_.c_str(), orvtiw::kGenericReadWrite, 0, orvtiw::kOpenExisting, 0);
        const orvtiw::MapRequest request{1, 0, kCard, 0, 0, kWindow};
        std::uint32_t returned = 0;
        ASSERT_NE(os.deviceControl(device_, orvtiw::kIoctlMapCardMemory, &request, sizeof request, &window_,
                                   sizeof window_, &returned),
                  0);
    }
    void Unmap() {
        std::uint32_t returned = 0;
        orvtiw::SystemPlatform().deviceControl(device_, orvtiw::kIoctlUnmapCardMemory, &window_, sizeof window_,
                                               nullptr, 0, &returned);
        orvtiw::SystemPlatform().closeHandle(device_);
    }

    std::string Explain(std::uint32_t address = kCard) {
        return ExplainDeviceRefusal(path_, address, kWindow);
    }

    orvtiw::test::TempWorkingDir dir_;
    std::string path_;
    orvtiw::DeviceHandle device_ = orvtiw::kInvalidDevice;
    std::uint8_t *window_ = nullptr;
};

::testing::AssertionResult Says(const std::string &text, const std::string &part) {
    if (text.find(part) != std::string::npos) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "no \"" << part << "\" in \"" << text << "\"";
}

TEST_F(DeviceRefusal, EachRuleIsNamedWithThePath) {
    EXPECT_EQ(Explain(), "") << "nothing refuses a plain 0600 file of this user";

    EXPECT_TRUE(Says(Explain(0xFFC00), "cannot map the card window 0xFFC00..0x1003FF of " + path_ +
                                           ": the window outside the file (1048576 bytes)"));

    ASSERT_EQ(chmod(path_.c_str(), 0620), 0);
    EXPECT_TRUE(Says(Explain(), "refused " + path_ + " (owner uid " + std::to_string(geteuid()) +
                                    ", mode 0620): writable by group or others"));
    ASSERT_EQ(chmod(path_.c_str(), 0600), 0);

    if (geteuid() == 0) {
        ASSERT_EQ(chown(path_.c_str(), 4321, 0), 0);
        EXPECT_TRUE(Says(Explain(), "not owned by the effective user (uid 0) or root"));
    } else {
        ASSERT_EQ(chmod(path_.c_str(), 0000), 0);
        EXPECT_TRUE(Says(Explain(), "Permission denied (errno 13): permission: effective user uid"));
    }

    const std::string link = dir_.path() + "/link";
    ASSERT_EQ(symlink((dir_.path() + "/gone").c_str(), link.c_str()), 0);
    EXPECT_EQ(ExplainDeviceRefusal(link, kCard, kWindow),
              "cannot open " + link + " (a link to " + dir_.path() +
                  "/gone): No such file or directory (errno 2): missing file (no card memory device, and no "
                  "simulator serving one, at that path)");
}

TEST_F(DeviceRefusal, TheHolderOfTheCardWindowIsNamed) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        Map();
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    // A simulator's flock of the whole file, here in a process looked at
    // before the holder, is no card's lock.
    const int simulator = ::open(path_.c_str(), O_RDWR);
    ASSERT_EQ(flock(simulator, LOCK_EX), 0);
    EXPECT_TRUE(Says(Explain(kCard + 0x400), "another host drives this card: process " + std::to_string(other)));
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
    ::close(simulator);
    EXPECT_EQ(Explain(), "") << "released when its holder died";

    Map();
    EXPECT_TRUE(Says(Explain(), "another channel of this process " + std::to_string(getpid())));
    Unmap();
    ::close(ready[0]);
    ::close(ready[1]);
}

} // namespace
} // namespace orvtiw::host
