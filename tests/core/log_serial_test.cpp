// Log behaviour that needs the shared files to itself: the disabling marker and links planted
// at the log's path. These tests run alone (the marker would hide other tests' lines).
#include <windows.h>

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tvx_test.h"

namespace {

constexpr char kLog[] = "/tmp/zdrunix.log";
constexpr char kMarker[] = "/tmp/.disable_kwr_log";

std::string Unique(const char* what) {
    return std::string(what) + "-" + std::to_string(getpid()) + "-" +
           std::to_string(tvxtest::NowMs());
}

TEST(LogShared, MarkerSilencesLogAndStopsCounting) {
    std::string v = Unique("v"), w = Unique("w"), hidden = Unique("hidden");
    UnixLog("%s", v.c_str());
    FILE* marker = fopen(kMarker, "w");
    ASSERT_NE(nullptr, marker);
    fclose(marker);
    UnixLog("%s", hidden.c_str());
    UnixLog("%s", v.c_str());  // neither written nor counted as a repeat
    unlink(kMarker);
    UnixLog("%s", w.c_str());
    std::vector<std::string> all = tvxtest::LogMessages();
    std::vector<std::string> tail;
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i] == v) tail.assign(all.begin() + i, all.end());
    std::vector<std::string> expected = {v, w};
    EXPECT_EQ(expected, tail);
}

TEST(LogShared, SymbolicLinkAtLogPathIsNotFollowed) {
    std::string saved = std::string(kLog) + ".saved-" + std::to_string(getpid());
    bool had_log = rename(kLog, saved.c_str()) == 0;
    std::string target = tvxtest::Root() + "/victim";
    ASSERT_EQ(0, symlink(target.c_str(), kLog));
    UnixLog("%s", Unique("redirected").c_str());
    struct stat st;
    bool victim_written = stat(target.c_str(), &st) == 0;
    unlink(kLog);
    if (had_log) rename(saved.c_str(), kLog);
    EXPECT_FALSE(victim_written) << "the log followed a planted link";
}

// A hard link looks like a regular file through the path; its second name gives it away.
TEST(LogShared, HardLinkAtLogPathIsNotWrittenThrough) {
    std::string saved = std::string(kLog) + ".saved-" + std::to_string(getpid());
    bool had_log = rename(kLog, saved.c_str()) == 0;
    std::string target = tvxtest::Root() + "/victim";
    FILE* victim = fopen(target.c_str(), "w");
    ASSERT_NE(nullptr, victim);
    fclose(victim);
    ASSERT_EQ(0, link(target.c_str(), kLog));
    UnixLog("%s", Unique("through-link").c_str());
    struct stat st;
    int rc = stat(target.c_str(), &st);
    unlink(kLog);
    if (had_log) rename(saved.c_str(), kLog);
    ASSERT_EQ(0, rc);
    EXPECT_EQ(0, st.st_size) << "the log wrote through a planted hard link";
}

TEST(LogShared, NewLogFileIsCreatedPrivate) {
    std::string saved = std::string(kLog) + ".saved-" + std::to_string(getpid());
    bool had_log = rename(kLog, saved.c_str()) == 0;
    mode_t old = umask(0);
    UnixLog("%s", Unique("mode").c_str());
    umask(old);
    struct stat st;
    int rc = stat(kLog, &st);
    if (had_log) rename(saved.c_str(), kLog);
    ASSERT_EQ(0, rc);
    EXPECT_EQ(0640u, st.st_mode & 0777);
}

}  // namespace
