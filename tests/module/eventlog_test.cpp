// Event log: registration, priorities and message texts as the system log gets them. The
// system-log functions defined here take the library's calls before the C library's.
#include <windows.h>

#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdio.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tvx_test.h"

namespace {

std::vector<std::pair<int, std::string>> g_sent;  // priority, text
std::string g_ident;

}  // namespace

extern "C" {
void openlog(const char* ident, int, int) { g_ident = ident; }
void syslog(int priority, const char* format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_sent.emplace_back(priority, text);
}
}

namespace {

std::string NotFound(int id) {
    return "The message entry for event id " + std::to_string(id) + " could not be found";
}

// Registers with the working directory `dir`, where the message module zdrmsg.so is looked for.
HANDLE RegisterIn(const std::string& dir) {
    std::filesystem::path saved = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    HANDLE log = RegisterEventSourceA(nullptr, "TestSource");
    std::filesystem::current_path(saved);
    g_sent.clear();
    return log;
}

BOOL Report(HANDLE log, WORD type, DWORD id, std::vector<const char*> strings = {}) {
    return ReportEventA(log, type, 0, id, nullptr, static_cast<WORD>(strings.size()), 0,
                        strings.empty() ? nullptr : strings.data(), nullptr);
}

TEST(EventLog, OnlyTheRegisteredHandleIsAcceptedAndOneSourceAtATime) {
    HANDLE log = RegisterIn(tvxtest::Root());
    ASSERT_TRUE(log != nullptr && log != INVALID_HANDLE_VALUE);
    EXPECT_EQ("TestSource", g_ident);
    EXPECT_EQ(INVALID_HANDLE_VALUE, RegisterEventSourceA(nullptr, "Other"));
    for (HANDLE wrong : {reinterpret_cast<HANDLE>(&g_sent), INVALID_HANDLE_VALUE, HANDLE{}})
        EXPECT_FALSE(Report(wrong, EVENTLOG_ERROR_TYPE, 1));
    EXPECT_TRUE(DeregisterEventSource(log));
    EXPECT_FALSE(DeregisterEventSource(log));
    EXPECT_FALSE(Report(log, EVENTLOG_ERROR_TYPE, 1));
    EXPECT_TRUE(g_sent.empty());
}

TEST(EventLog, ReportsTakeTheirTypesPriorityAndTheCallersStringsAndAreNeverAFormat) {
    const struct {
        WORD type;
        DWORD id;
        std::vector<const char*> strings;
        std::string text;
        int priority;
    } cases[] = {
        {EVENTLOG_ERROR_TYPE, 7, {"C:", "host"}, "Disk C: of host is full", 2},
        {EVENTLOG_WARNING_TYPE, 7, {"C:"}, "Disk C: of %2 is full", 4},
        {EVENTLOG_INFORMATION_TYPE, 7, {}, "Disk %1 of %2 is full", 6},
        {EVENTLOG_AUDIT_SUCCESS, 8, {"a", "b", "c"}, "Raw %s%n and c %x", 5},
        {EVENTLOG_AUDIT_FAILURE, 8, {"a", "b", nullptr}, "Raw %s%n and %3 %x", 2},
        {EVENTLOG_SUCCESS, 9, {"x"}, NotFound(9), 6},
        {0xFFFF, 9, {}, NotFound(9), 6},
    };
    HANDLE log = RegisterIn(MESSAGE_MODULE_DIR);
    for (const auto& c : cases) {
        g_sent.clear();
        EXPECT_TRUE(Report(log, c.type, c.id, c.strings)) << c.text;
        ASSERT_EQ(1u, g_sent.size()) << c.text;
        EXPECT_EQ(std::make_pair(c.priority, c.text), g_sent[0]);
    }
    EXPECT_TRUE(DeregisterEventSource(log));
}

}  // namespace
