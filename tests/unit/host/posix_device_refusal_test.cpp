// The host's account of a device the driver would not open or map: each
// rule named with the path, on files of the test's own.
#include <gtest/gtest.h>

#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "orvtiw/host.h"
#include "support/temp_dir.h"

namespace orvtiw::host {
namespace {

constexpr std::uint32_t kCard = 0xC8000;

// A 1 MiB device file of this user, mode 0600.
std::string DeviceFile(const test::TempWorkingDir &dir) {
    dir.write("card", std::string(1 << 20, '\0'));
    const std::string path = dir.path() + "/card";
    EXPECT_EQ(chmod(path.c_str(), 0600), 0);
    return path;
}

// The card window's lock, as the driver's map takes it.
int LockWindow(const std::string &path) {
    const int fd = open(path.c_str(), O_RDWR);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_start = kCard;
    lock.l_len = 0x800;
    EXPECT_EQ(fcntl(fd, F_OFD_SETLK, &lock), 0);
    return fd;
}

TEST(DeviceRefusal, EachRuleIsNamedWithThePath) {
    test::TempWorkingDir dir;
    const std::string path = DeviceFile(dir);
    const auto explain = [&path](std::uint32_t address) { return ExplainDeviceRefusal(path, address, 0x800); };
    EXPECT_EQ(explain(kCard), "") << "nothing refuses a plain 0600 file of this user";
    EXPECT_EQ(explain(0xFFC00), "cannot map the card window 0xFFC00..0x1003FF of " + path +
                                    ": the window outside the file (1048576 bytes)");
    ASSERT_EQ(chmod(path.c_str(), 0620), 0);
    EXPECT_EQ(explain(kCard), "refused " + path + " (owner uid " + std::to_string(geteuid()) +
                                  ", mode 0620): writable by group or others");
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    // Root passes every permission, and only root may give a file away.
    const bool root = geteuid() == 0;
    ASSERT_EQ(root ? chown(path.c_str(), 4321, 0) : chmod(path.c_str(), 0), 0);
    const std::string rule = root ? "not owned by the effective user (uid 0) or root"
                                  : "Permission denied (errno 13): permission: effective user uid";
    EXPECT_NE(explain(kCard).find(rule), std::string::npos) << explain(kCard);

    const std::string link = dir.path() + "/link";
    ASSERT_EQ(symlink("gone", link.c_str()), 0);
    EXPECT_EQ(ExplainDeviceRefusal(link, kCard, 0x800),
              "cannot open " + link +
                  " (a link to gone): No such file or directory (errno 2): missing file (no card memory device, and "
                  "no simulator serving one, at that path)");
}

TEST(DeviceRefusal, TheHolderOfTheCardWindowIsNamed) {
    test::TempWorkingDir dir;
    const std::string path = DeviceFile(dir);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        LockWindow(path);
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    // A simulator's flock of the whole file, in a process looked at before
    // the holder, is no card's lock.
    const int simulator = open(path.c_str(), O_RDWR);
    ASSERT_EQ(flock(simulator, LOCK_EX), 0);
    const std::string overlapping = ExplainDeviceRefusal(path, kCard + 0x400, 0x800);
    EXPECT_NE(overlapping.find("another host drives this card: process " + std::to_string(other)), std::string::npos)
        << overlapping;
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
    EXPECT_EQ(ExplainDeviceRefusal(path, kCard, 0x800), "") << "released when its holder died";

    const int own = LockWindow(path);
    const std::string self = ExplainDeviceRefusal(path, kCard, 0x800);
    EXPECT_NE(self.find("another channel of this process " + std::to_string(getpid())), std::string::npos) << self;
    for (const int fd : {own, simulator, ready[0], ready[1]}) {
        close(fd);
    }
}

} // namespace
} // namespace orvtiw::host
