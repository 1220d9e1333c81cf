// The diagnostic log as a maintainer reads it: this process's lines in /tmp/zdrunix.log.
#include <windows.h>

#include <gtest/gtest.h>
#include <regex.h>
#include <sys/mman.h>

#include "tvx_test.h"

using tvxtest::UniqueName;
using Lines = std::vector<std::string>;

// Threads logging side by side write whole lines, none lost, led by the time, process and thread.
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
        auto hex = [&](int i) { return strtoul(field(i).c_str(), nullptr, 16); };
        EXPECT_TRUE(hex(1) == unsigned(getpid()) && hex(2) == hex(4) && field(3) == tag) << line;
        ++seen;
    }
    regfree(&re);
    EXPECT_EQ(seen, rounds[0] + rounds[1] + rounds[2] + rounds[3]);
}

// A run folds into a count line when another message comes; an empty one writes no line but repeats.
TEST(Log, RepeatsFoldIntoCountLines) {
    const std::string a = UniqueName("a"), b = UniqueName("b"), c = UniqueName("c"), none;
    for (const std::string* m : {&a, &a, &a, &b, &b, &none, &none, &c}) UnixLog("%s", m->c_str());
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
    errno = 41;  // no system call sets it and it has no translation: GetLastError leaves it pending
    UnixLog("%s", text.c_str());
    EXPECT_TRUE(errno == 41 && GetLastError() == 183u);
    EXPECT_EQ(tvxtest::LogMessagesFrom(text.substr(0, 10238)).size(), 1u);
}
