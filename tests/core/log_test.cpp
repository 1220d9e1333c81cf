// The diagnostic log as a maintainer reads it: this process's lines in /tmp/zdrunix.log.
#include <windows.h>

#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <regex.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "tvx_test.h"

namespace {

std::string Unique(const char* what) {
    static int counter = 0;
    return std::string(what) + "-" + std::to_string(getpid()) + "-" + std::to_string(++counter) +
           "-" + std::to_string(tvxtest::NowMs());
}

// The messages of this process from the first occurrence of `first` on.
std::vector<std::string> MessagesFrom(const std::string& first, pid_t pid = 0) {
    std::vector<std::string> all = tvxtest::LogMessages(pid);
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i] == first) return std::vector<std::string>(all.begin() + i, all.end());
    return {};
}

TEST(Log, LineCarriesTimeProcessAndThread) {
    std::string m = Unique("prefix");
    UnixLog("%s", m.c_str());
    std::vector<std::string> lines = tvxtest::LogLines();
    ASSERT_FALSE(lines.empty());
    const std::string& line = lines.back();
    regex_t re;
    ASSERT_EQ(0, regcomp(&re,
                         "^[0-3][0-9]/[01][0-9]/2[0-9]{3} [0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{3} "
                         "[0-9a-f]{4,} [0-9a-f]{8,} ",
                         REG_EXTENDED));
    EXPECT_EQ(0, regexec(&re, line.c_str(), 0, nullptr, 0)) << line;
    regfree(&re);
    char expected[64];
    snprintf(expected, sizeof expected, " %04x %08lx ", static_cast<unsigned>(getpid()),
             static_cast<unsigned long>(pthread_self()));
    EXPECT_NE(std::string::npos, line.find(expected)) << line;
    EXPECT_EQ(m, line.substr(line.size() - m.size()));
}

TEST(Log, RepeatsFoldIntoCountLines) {
    std::string a = Unique("a"), b = Unique("b"), c = Unique("c");
    for (int i = 0; i < 3; ++i) UnixLog("%s", a.c_str());
    UnixLog("%s", b.c_str());
    UnixLog("%s", b.c_str());
    UnixLog("%s", c.c_str());
    std::vector<std::string> expected = {a, "Last message repeated 2 times", b,
                                         "Last message repeated once", c};
    EXPECT_EQ(expected, MessagesFrom(a));
}

TEST(Log, UnfinishedRunOfRepeatsIsNeverReported) {
    std::string x = Unique("x");
    pid_t child = 0;
    int status = tvxtest::RunInChild([&] {
        for (int i = 0; i < 4; ++i) UnixLog("%s", x.c_str());
        return 0;  // exit runs the library's shutdown; no repeat line may appear then
    });
    ASSERT_EQ(0, tvxtest::ExitCodeOf(status));
    // Find the child's pid from its line, then check it wrote nothing else.
    std::ifstream in("/tmp/zdrunix.log");
    std::string line;
    while (std::getline(in, line))
        if (line.size() > x.size() && line.substr(line.size() - x.size()) == x)
            child = static_cast<pid_t>(strtoul(line.substr(24).c_str(), nullptr, 16));
    ASSERT_NE(0, child);
    std::vector<std::string> expected = {x};
    EXPECT_EQ(expected, tvxtest::LogMessages(child));
}

TEST(Log, EmptyMessageWritesNoLineAndCountsRepeats) {
    std::string before = Unique("before"), after = Unique("after");
    UnixLog("%s", before.c_str());
    UnixLog("%s", "");
    UnixLog("%s", "");
    UnixLog("%s", after.c_str());
    std::vector<std::string> expected = {before, after};
    // The first empty message differs from `before` (no line of its own); the second repeats it.
    expected.insert(expected.begin() + 1, "Last message repeated once");
    EXPECT_EQ(expected, MessagesFrom(before));
}

TEST(Log, LongMessageIsCutTo10238Characters) {
    std::string tag = Unique("long");
    std::string text = tag + std::string(20000, 'q');
    UnixLog("%s", text.c_str());
    std::vector<std::string> messages = MessagesFrom(text.substr(0, 10238));
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(10238u, messages.front().size());
}

TEST(Log, LeavesErrnoAndLastErrorAsFound) {
    SetLastError(183);
    UnixLog("%s", Unique("errno").c_str());
    EXPECT_EQ(183u, GetLastError());
    errno = ENOENT;
    UnixLog("%s", Unique("errno").c_str());
    EXPECT_EQ(ENOENT, errno);
}

TEST(Log, ThreadsWriteWholeLines) {
    constexpr int kThreads = 4, kEach = 200;
    std::string tag = Unique("mt");
    std::vector<pthread_t> threads(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        pthread_create(
            &threads[t], nullptr,
            [](void* arg) -> void* {
                auto* info = static_cast<std::pair<std::string, int>*>(arg);
                for (int i = 0; i < kEach; ++i)
                    UnixLog("%s t%d i%d", info->first.c_str(), info->second, i);
                delete info;
                return nullptr;
            },
            new std::pair<std::string, int>(tag, t));
    }
    for (pthread_t& t : threads) pthread_join(t, nullptr);
    int seen = 0;
    for (const std::string& m : tvxtest::LogMessages())
        if (m.compare(0, tag.size(), tag) == 0) ++seen;
    EXPECT_EQ(kThreads * kEach, seen);
}

}  // namespace
