// Log behaviour that needs the shared files to itself: the disabling marker, links planted at the
// log's path, a new log's mode. These tests run alone (the marker and the swapped
// log would hide other tests' lines).
#include <windows.h>

#include <fcntl.h>
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

// A symbolic link, or a hard link (a regular file through the path, given away by its second
// name), planted at the log's path is never written through.
TEST(LogShared, LinksAtLogPathAreNotWrittenThrough) {
    for (auto plant : {symlink, link}) {
        tvxtest::ScopedLogSwap swap;
        const std::string target = tvxtest::Root() + "/victim";
        close(open(target.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644));
        ASSERT_EQ(plant(target.c_str(), "/tmp/zdrunix.log"), 0);
        UnixLog("%s", UniqueName("redirected").c_str());
        struct stat st;
        ASSERT_EQ(stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 0) << "the log wrote through a planted link";
    }
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
