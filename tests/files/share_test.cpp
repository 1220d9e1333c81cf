// Share modes between the threads of a process and between processes.
#include <windows.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "tvx_test.h"

namespace {

constexpr DWORD R = GENERIC_READ, W = GENERIC_WRITE, RW = R | W;
constexpr DWORD SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE;

std::string NewFile() {
    std::string path = tvxtest::Root() + "/mail/tmp/" + tvxtest::UniqueName("share");
    close(open(path.c_str(), O_CREAT | O_WRONLY, 0640));
    return path;
}

// A child that opens `path` with (access, share), reports on `ready`, and closes when the parent
// writes to `release`.
pid_t HolderProcess(const std::string& path, DWORD access, DWORD share, int* ready, int* release) {
    int up[2], down[2];
    if (pipe(up) != 0 || pipe(down) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        int fd = OpenSharedFile(path.c_str(), access, share, OPEN_EXISTING, 0, 0);
        char c = fd >= 0 ? 'y' : 'n';
        if (write(up[1], &c, 1) != 1 || read(down[0], &c, 1) != 1) _exit(3);
        _exit(fd >= 0 && CloseSharedFile(path.c_str(), fd) == 0 ? 0 : 1);
    }
    close(up[1]);
    close(down[0]);
    *ready = up[0];
    *release = down[1];
    return pid;
}

// Opens with wait 1 on another thread; true if it stayed blocked until `release` ran and then
// returned a descriptor.
bool WaitsUntilReleased(const std::string& path, DWORD access, DWORD share,
                        const std::function<void()>& release) {
    std::atomic<int> fd{-2};
    std::thread opener([&] { fd = OpenSharedFile(path.c_str(), access, share, OPEN_EXISTING, 0, 1); });
    usleep(100000);
    bool blocked = fd == -2;
    release();
    bool opened = tvxtest::WaitUntil([&] { return fd != -2; });
    opener.join();
    if (fd >= 0) CloseSharedFile(path.c_str(), fd);
    return blocked && opened && fd >= 0;
}

// The first opener's (access, share) against a second open asking for `second` with the same
// share mode: in the process only the first share mode counts; between processes the two
// whole-file locks that the share modes ask for.
struct Case {
    DWORD first, share, second;
    bool thread_ok, process_ok;
} constexpr kMatrix[] = {
    {R, SR | SW, RW, true, true},  {RW, SR | SW, W, true, true},
    {R, 0, R, false, false},       {R, 0, W, false, false},      {RW, 0, RW, false, false},
    {0, 0, R, false, true},        {0, 0, RW, false, true},      // no lock, yet no sharing
    {R, SR, R, true, true},        {R, SR, W, false, true},      {R, SR, RW, false, true},
    {W, SW, W, true, true},        {W, SW, R, false, true},      {RW, SW, RW, false, true},
};

TEST(ShareModes, MatrixBetweenThreads) {
    for (const Case& c : kMatrix) {
        SCOPED_TRACE(testing::Message() << c.first << "/" << c.share << "/" << c.second);
        std::string path = NewFile();
        int first = OpenSharedFile(path.c_str(), c.first, c.share, OPEN_EXISTING, 0, 0);
        ASSERT_GE(first, 0);
        int second = -1;
        std::thread([&] { second = OpenSharedFile(path.c_str(), c.second, c.share, OPEN_EXISTING, 0, 0); }).join();
        EXPECT_EQ(c.thread_ok, second >= 0);
        if (second >= 0) {
            EXPECT_EQ(0, CloseSharedFile(path.c_str(), second));
            EXPECT_EQ(0, CloseSharedFile(path.c_str(), first));
        } else {
            EXPECT_TRUE(WaitsUntilReleased(path, c.second, c.share,
                                           [&] { CloseSharedFile(path.c_str(), first); }));
        }
    }
}

TEST(ShareModes, MatrixBetweenProcesses) {
    for (const Case& c : kMatrix) {
        SCOPED_TRACE(testing::Message() << c.first << "/" << c.share << "/" << c.second);
        std::string path = NewFile();
        int ready = -1, release = -1;
        pid_t holder = HolderProcess(path, c.first, c.share, &ready, &release);
        char opened = 0;
        ASSERT_EQ(1, read(ready, &opened, 1));
        ASSERT_EQ('y', opened);
        int second = OpenSharedFile(path.c_str(), c.second, c.share, OPEN_EXISTING, 0, 0);
        EXPECT_EQ(c.process_ok, second >= 0);
        if (second >= 0) {
            CloseSharedFile(path.c_str(), second);
            EXPECT_EQ(1, write(release, "x", 1));
        } else {
            EXPECT_TRUE(WaitsUntilReleased(path, c.second, c.share, [&] { EXPECT_EQ(1, write(release, "x", 1)); }));
        }
        int status = 0;
        waitpid(holder, &status, 0);
        EXPECT_EQ(0, tvxtest::ExitCodeOf(status));
        close(ready);
        close(release);
    }
}

TEST(ShareModes, ClosingOneOfTwoOpensDropsTheProcessLock) {
    std::string path = NewFile();
    int a = OpenSharedFile(path.c_str(), R, SR, OPEN_EXISTING, 0, 0);
    int b = OpenSharedFile(path.c_str(), R, SR, OPEN_EXISTING, 0, 0);
    ASSERT_TRUE(a >= 0 && b >= 0);
    // The child inherits this process's table, so it names the file by another path string.
    std::string same_file = tvxtest::Root() + "/mail//tmp/" + path.substr(path.rfind('/') + 1);
    auto other_gets_exclusive = [&] {
        return tvxtest::ChildExit([&] {
            return OpenSharedFile(same_file.c_str(), RW, 0, OPEN_EXISTING, 0, 0) >= 0 ? 0 : 1;
        });
    };
    EXPECT_EQ(1, other_gets_exclusive());
    EXPECT_EQ(0, CloseSharedFile(path.c_str(), a));
    EXPECT_EQ(0, other_gets_exclusive());  // b is still counted, but the lock went with a
    // In the process the entry still governs: share read only.
    EXPECT_LT(OpenSharedFile(path.c_str(), W, SR | SW, OPEN_EXISTING, 0, 0), 0);
    EXPECT_EQ(0, CloseSharedFile(path.c_str(), b));
    int c = OpenSharedFile(path.c_str(), W, SR | SW, OPEN_EXISTING, 0, 0);
    EXPECT_GE(c, 0);
    EXPECT_TRUE(fcntl(c, F_GETFD) & FD_CLOEXEC);
    CloseSharedFile(path.c_str(), c);
}

TEST(ShareModes, FailuresLeaveTheTableAsItWas) {
    std::string path = NewFile();
    std::string missing = path + ".missing";
    EXPECT_EQ(-1, OpenSharedFile(missing.c_str(), R, 0, OPEN_EXISTING, 0, 0));
    std::string long_path = tvxtest::Root() + "/" + std::string(300, 'x');
    errno = 0;
    EXPECT_EQ(-1, OpenSharedFile(long_path.c_str(), RW, 0, OPEN_ALWAYS, 0, 0));
    EXPECT_EQ(ENAMETOOLONG, errno);
    EXPECT_EQ(161u, GetLastError());
    EXPECT_EQ(-1, OpenSharedFile(nullptr, R, 0, OPEN_EXISTING, 0, 0));
    // Reading with exclusive use needs write permission: as an ordinary user that fails and the entry is freed again, so an open sharing everything still succeeds.
    chmod(path.c_str(), 0444);
    EXPECT_EQ(0, tvxtest::AsUnprivilegedUser([&] {
        if (OpenSharedFile(path.c_str(), R, 0, OPEN_EXISTING, 0, 0) != -1 || errno != EACCES) return 1;
        int fd = OpenSharedFile(path.c_str(), R, SR | SW, OPEN_EXISTING, 0, 0);
        return fd >= 0 && CloseSharedFile(path.c_str(), fd) == 0 ? 0 : 3;
    }));
}

}  // namespace
