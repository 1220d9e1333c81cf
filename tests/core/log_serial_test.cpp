// Log behaviour that needs the shared files to itself: the disabling marker, a symbolic link
// planted at the log's path, a new log's mode. These tests run alone (the marker and the swapped
// log would hide other tests' lines).
#include <windows.h>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tvx_test.h"

using tvxtest::UniqueName;

TEST(LogShared, MarkerSilencesLogAndStopsCounting) {
    const std::string v = UniqueName("v"), w = UniqueName("w");
    UnixLog("%s", v.c_str());
    close(open("/tmp/.disable_kwr_log", O_CREAT | O_WRONLY, 0644));
    UnixLog("%s", UniqueName("hidden").c_str());
    UnixLog("%s", v.c_str());  // neither written nor counted as a repeat
    unlink("/tmp/.disable_kwr_log");
    UnixLog("%s", w.c_str());
    EXPECT_EQ(tvxtest::LogMessagesFrom(v), (std::vector<std::string>{v, w}));
}

TEST(LogShared, SymbolicLinkAtLogPathIsNotFollowed) {
    tvxtest::ScopedLogSwap swap;
    const std::string target = tvxtest::Root() + "/victim";
    ASSERT_EQ(symlink(target.c_str(), "/tmp/zdrunix.log"), 0);
    UnixLog("%s", UniqueName("redirected").c_str());
    EXPECT_NE(access(target.c_str(), F_OK), 0) << "the log followed a planted link";
}

TEST(LogShared, NewLogFileIsCreatedPrivate) {
    tvxtest::ScopedLogSwap swap;
    const mode_t old = umask(0);
    UnixLog("%s", UniqueName("mode").c_str());
    umask(old);
    struct stat st;
    ASSERT_EQ(stat("/tmp/zdrunix.log", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}
