// The diagnostic log as a maintainer reads it: this process's lines in /tmp/zdrunix.log.
#include <windows.h>

#include <gtest/gtest.h>
#include <regex.h>
#include <sys/mman.h>

#include "tvx_test.h"

using tvxtest::UniqueName;
using Lines = std::vector<std::string>;

// Threads that log side by side write whole lines, none lost, each with the time, the process and
// the writing thread in front.
TEST(Log, ThreadsWriteWholeLinesCarryingTimeProcessAndThread) {
    const std::string tag = UniqueName("mt");
    auto body = [&, n = 0]() mutable {  // no two messages of a thread alike: nothing folds
        UnixLog("%s %lx %d", tag.c_str(), static_cast<unsigned long>(pthread_self()), ++n);
    };
    const std::vector<long> rounds = tvxtest::Hammer({body, body, body, body}, 200, 0);
    regex_t re;
    ASSERT_EQ(regcomp(&re, "^[0-3][0-9]/[01][0-9]/2[0-9]{3} [0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{3} "
                           "([0-9a-f]{4,}) ([0-9a-f]{8,}) (mt-[^ ]*) ([0-9a-f]+) ", REG_EXTENDED), 0);
    long seen = 0;
    for (const std::string& line : tvxtest::LogLines()) {
        regmatch_t m[5];
        if (line.find(tag) == std::string::npos) continue;
        ASSERT_EQ(regexec(&re, line.c_str(), 5, m, 0), 0) << line;
        auto field = [&](int i) { return line.substr(m[i].rm_so, m[i].rm_eo - m[i].rm_so); };
        EXPECT_EQ(strtoul(field(1).c_str(), nullptr, 16), static_cast<unsigned long>(getpid()));
        EXPECT_TRUE(strtoul(field(2).c_str(), nullptr, 16) == strtoul(field(4).c_str(), nullptr, 16) &&
                    field(3) == tag) << line;
        ++seen;
    }
    regfree(&re);
    EXPECT_EQ(seen, rounds[0] + rounds[1] + rounds[2] + rounds[3]);
}

// Runs of one message fold into a count line when a different one comes; an empty message writes
// no line of its own but differs from the one before and repeats like any other.
TEST(Log, RepeatsFoldIntoCountLines) {
    const std::string a = UniqueName("a"), b = UniqueName("b"), c = UniqueName("c");
    for (const std::string* m : {&a, &a, &a, &b, &b}) UnixLog("%s", m->c_str());
    UnixLog("%s", "");
    UnixLog("%s", "");
    UnixLog("%s", c.c_str());
    const std::string once = "Last message repeated once";
    EXPECT_EQ(tvxtest::LogMessagesFrom(a), (Lines{a, "Last message repeated 2 times", b, once, once, c}));
}

// Shutdown reports no unfinished run: the child's only line is its first message.
TEST(Log, UnfinishedRunOfRepeatsIsNeverReported) {
    const std::string x = UniqueName("x");
    auto* child = static_cast<pid_t*>(mmap(nullptr, sizeof(pid_t), PROT_READ | PROT_WRITE,
                                           MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_EQ(tvxtest::ChildExit([&]() -> int {
        *child = getpid();
        for (int i = 0; i < 4; ++i) UnixLog("%s", x.c_str());
        exit(0);  // through the library's exit handlers
    }), 0);
    EXPECT_EQ(tvxtest::LogMessages(*child), Lines{x});
}

// A long message is cut to 10238 characters; logging leaves errno and the last error as found.
TEST(Log, LongMessageIsCutAndErrnoIsLeftAsFound) {
    const std::string text = UniqueName("long") + std::string(20000, 'q');
    SetLastError(183);
    UnixLog("%s", text.c_str());
    EXPECT_EQ(GetLastError(), 183u);
    errno = ENOENT;
    UnixLog("%s", UniqueName("errno").c_str());
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(tvxtest::LogMessagesFrom(text.substr(0, 10238)).size(), 2u);
}
