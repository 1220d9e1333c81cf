// Event log: registration, priorities, message texts and raw-data dumps as the system log gets them.
//
// This program defines the system-log functions itself; the library's calls bind to them before
// the C library's, so what would go to the machine's log daemon is captured here, filtered by the
// log mask the way the system log filters it.
#include <windows.h>

#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tvx_test.h"

namespace {

struct Sent {
    int priority;
    std::string text;
    bool delivered;  // passed by the log mask
};
std::vector<Sent> g_sent;
std::string g_ident;
int g_options = -1, g_facility = -1, g_mask = 0xFF, g_opened = 0;

void Capture(int priority, const char* format, va_list args) {
    char text[20000];
    vsnprintf(text, sizeof text, format, args);
    g_sent.push_back({priority, text, ((g_mask >> (priority & 7)) & 1) != 0});
}

}  // namespace

extern "C" {
void openlog(const char* ident, int options, int facility) {
    g_ident = ident;
    g_options = options;
    g_facility = facility;
    ++g_opened;
}
void closelog(void) { --g_opened; }
int setlogmask(int mask) {
    int old = g_mask;
    if (mask != 0) g_mask = mask;
    return old;
}
void syslog(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Capture(priority, format, args);
    va_end(args);
}
void __syslog_chk(int priority, int, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Capture(priority, format, args);
    va_end(args);
}
}

namespace {

std::string NotFound(int id) {
    return "The message entry for event id " + std::to_string(id) + " could not be found";
}

// Registers with the working directory `dir` (where the message module is looked for).
HANDLE RegisterIn(const std::string& dir) {
    char saved[4096];
    EXPECT_NE(nullptr, getcwd(saved, sizeof saved));
    EXPECT_EQ(0, chdir(dir.c_str()));
    HANDLE log = RegisterEventSourceA(nullptr, "TestSource");
    EXPECT_EQ(0, chdir(saved));
    g_sent.clear();
    return log;
}

TEST(EventLog, OneSourceAtATime) {
    HANDLE stray = reinterpret_cast<HANDLE>(&g_sent);
    EXPECT_FALSE(ReportEventA(stray, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_FALSE(DeregisterEventSource(nullptr));
    HANDLE log = RegisterIn(tvxtest::Root());
    ASSERT_NE(nullptr, log);
    ASSERT_NE(INVALID_HANDLE_VALUE, log);
    EXPECT_EQ("TestSource", g_ident);
    EXPECT_EQ(3, g_options);
    EXPECT_EQ(24, g_facility);
    EXPECT_EQ(7, g_mask);
    EXPECT_EQ(INVALID_HANDLE_VALUE, RegisterEventSourceA(nullptr, "Other"));
    EXPECT_EQ("TestSource", g_ident);
    EXPECT_FALSE(ReportEventA(stray, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_FALSE(ReportEventA(INVALID_HANDLE_VALUE, 1, 0, 1, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_TRUE(g_sent.empty());
    EXPECT_TRUE(DeregisterEventSource(log));
    EXPECT_EQ(0, g_opened);
    EXPECT_FALSE(DeregisterEventSource(log));
    EXPECT_FALSE(ReportEventA(log, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_TRUE(g_sent.empty());
    EXPECT_EQ(log, RegisterEventSourceA(nullptr, "Again"));
    EXPECT_EQ("Again", g_ident);
}

TEST(EventLog, TypesMapToPrioritiesAndOnlyCriticalOnesPassTheMask) {
    struct Case {
        WORD type;
        int priority;
    };
    const Case cases[] = {{EVENTLOG_SUCCESS, 6},       {EVENTLOG_ERROR_TYPE, 2},
                          {EVENTLOG_WARNING_TYPE, 4},  {EVENTLOG_INFORMATION_TYPE, 6},
                          {EVENTLOG_AUDIT_SUCCESS, 5}, {EVENTLOG_AUDIT_FAILURE, 2},
                          {3, 6},                      {0xFFFF, 6}};
    HANDLE log = RegisterIn(tvxtest::Root());  // no message module there
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        g_sent.clear();
        EXPECT_TRUE(ReportEventA(log, c.type, 0, 42, nullptr, 0, 0, nullptr, nullptr));
        ASSERT_EQ(1u, g_sent.size());
        EXPECT_EQ(c.priority, g_sent[0].priority);
        EXPECT_EQ(NotFound(42), g_sent[0].text);
        EXPECT_EQ(c.priority <= 2, g_sent[0].delivered);
    }
    g_sent.clear();
    EXPECT_TRUE(ReportEventA(log, 1, 0, 0xFFFFFFFFu, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_EQ("The message entry for event id 4294967295 could not be found", g_sent.at(0).text);
    EXPECT_TRUE(DeregisterEventSource(log));
}

TEST(EventLog, MessageTextsTakeTheCallersStringsAndAreNeverAFormat) {
    struct Case {
        DWORD id;
        std::vector<const char*> strings;
        std::string text;
    };
    const Case cases[] = {
        {7, {"C:", "host"}, "Disk C: of host is full"},
        {7, {"C:"}, "Disk C: of %2 is full"},  // an insert without a string stays
        {7, {}, "Disk %1 of %2 is full"},
        {8, {"a", "b", "c"}, "Raw %s%n and c %x"},
        {8, {"a", "b", nullptr}, "Raw %s%n and %3 %x"},
        {9, {"x"}, NotFound(9)},
    };
    HANDLE log = RegisterIn(MESSAGE_MODULE_DIR);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        g_sent.clear();
        std::vector<const char*> strings = c.strings;
        EXPECT_TRUE(ReportEventA(log, EVENTLOG_ERROR_TYPE, 0, c.id, nullptr,
                                 static_cast<WORD>(strings.size()), 0,
                                 strings.empty() ? nullptr : strings.data(), nullptr));
        ASSERT_EQ(1u, g_sent.size());
        EXPECT_EQ(c.text, g_sent[0].text);
        EXPECT_EQ(2, g_sent[0].priority);
    }
    EXPECT_TRUE(DeregisterEventSource(log));
    // After deregistration the module is gone, and a registration elsewhere finds none.
    log = RegisterIn(tvxtest::Root());
    EXPECT_TRUE(ReportEventA(log, EVENTLOG_ERROR_TYPE, 0, 7, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_EQ(NotFound(7), g_sent.at(0).text);
    EXPECT_TRUE(DeregisterEventSource(log));
}

TEST(EventLog, AModuleWithoutGetMessageFromIdIsNotKept) {
    std::string dir = tvxtest::Root() + "/nomessages";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    ASSERT_EQ(0, symlink(TESTMODULE_PATH, (dir + "/zdrmsg.so").c_str()));
    HANDLE log = RegisterIn(dir);
    EXPECT_TRUE(ReportEventA(log, EVENTLOG_ERROR_TYPE, 0, 7, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_EQ(NotFound(7), g_sent.at(0).text);
    std::string maps;
    FILE* f = fopen("/proc/self/maps", "r");
    ASSERT_NE(nullptr, f);
    for (int c; (c = fgetc(f)) != EOF;) maps += static_cast<char>(c);
    fclose(f);
    EXPECT_EQ(std::string::npos, maps.find(TESTMODULE_PATH));
    EXPECT_TRUE(DeregisterEventSource(log));
}

// A working directory whose module path does not fit 260 bytes loads nothing, not the file that
// the cut path would name.
TEST(EventLog, AModulePathThatDoesNotFitIsNotCut) {
    std::string dir = tvxtest::Root() + "/";
    dir += std::string(259 - dir.size() - std::string("/zdrmsg.so").size() + 1, 'd');
    ASSERT_EQ(260u, dir.size() + std::string("/zdrmsg.so").size());
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    std::string real = std::string(MESSAGE_MODULE_DIR) + "/zdrmsg.so";
    for (const char* name : {"/zdrmsg.so", "/zdrmsg.s"})
        ASSERT_EQ(0, symlink(real.c_str(), (dir + name).c_str()));
    HANDLE log = RegisterIn(dir);
    EXPECT_TRUE(ReportEventA(log, EVENTLOG_ERROR_TYPE, 0, 7, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_EQ(NotFound(7), g_sent.at(0).text);
    EXPECT_TRUE(DeregisterEventSource(log));
}

TEST(EventLog, RawDataFollowsAsADumpOfWholeItems) {
    HANDLE log = RegisterIn(tvxtest::Root());
    unsigned char three[] = {1, 171, 255};
    std::vector<unsigned char> many(5000, 0x5a);
    struct Case {
        DWORD size;
        unsigned char* data;
        std::string dump;  // empty: no second message
    };
    const Case cases[] = {
        {3, three, "0x01 0xab 0xff "},
        {0, three, ""},
        {3, nullptr, ""},
        {5000, many.data(), ""},  // checked below
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        g_sent.clear();
        EXPECT_TRUE(ReportEventA(log, EVENTLOG_AUDIT_FAILURE, 0, 5, nullptr, 0, c.size, nullptr,
                                 c.data));
        ASSERT_EQ(c.dump.empty() && c.size != 5000 ? 1u : 2u, g_sent.size());
        if (g_sent.size() < 2) continue;
        EXPECT_EQ(g_sent[0].priority, g_sent[1].priority);
        if (c.size != 5000) {
            EXPECT_EQ(c.dump, g_sent[1].text);
        } else {
            // The 10240-byte buffer takes 2047 whole items and its terminator.
            EXPECT_EQ(2047u * 5, g_sent[1].text.size());
            EXPECT_EQ("0x5a ", g_sent[1].text.substr(g_sent[1].text.size() - 5));
        }
    }
    EXPECT_TRUE(DeregisterEventSource(log));
}

}  // namespace
