// The process list and module names from /proc, checked against children started for the purpose.
#include <windows.h>

#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tvx_test.h"

namespace {

HANDLE Pid(DWORD pid) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(pid)); }

PROCESS_INFORMATION Sleeper(const char* program, const char* directory = nullptr) {
    PROCESS_INFORMATION info{};
    char line[] = "60";
    EXPECT_TRUE(CreateProcessA(program, line, nullptr, nullptr, FALSE, 0, nullptr, directory, nullptr, &info));
    return info;
}

TEST(ProcessNames, FirstArgumentAndStatusNameOfAbsoluteAndQuotedPrograms) {
    // A relative program whose stored first argument begins with a quote; ")" in its name too.
    std::string dir = tvxtest::Root() + "/mail/tmp";
    ASSERT_EQ(0, symlink("/bin/sleep", (dir + "/\"nap)s\"").c_str()));
    PROCESS_INFORMATION plain = Sleeper("/bin/sleep"), quoted = Sleeper("\"nap)s\"", dir.c_str());
    struct Case {
        DWORD pid;
        DWORD size;
        const char* file;
        DWORD file_length;
        const char* base;
        DWORD base_length;
    } const kCases[] = {
        {plain.dwProcessId, 64, "/bin/sleep", 10, "sleep", 5},
        {plain.dwProcessId, 5, "/bin", 10, "slee", 5},  // cut to the buffer, full lengths
        {quoted.dwProcessId, 64, "nap)s", 7, "\"nap)s\"", 7},
    };
    for (const Case& c : kCases) {
        char file[64], base[64];
        ASSERT_TRUE(tvxtest::WaitUntil([&] {  // once the child runs its program, arguments set
            return GetModuleBaseNameA(Pid(c.pid), nullptr, base, 64) == c.base_length &&
                   GetModuleFileNameExA(Pid(c.pid), nullptr, file, 64) == c.file_length;
        })) << base;
        EXPECT_EQ(c.file_length, GetModuleFileNameExA(Pid(c.pid), nullptr, file, c.size));
        EXPECT_STREQ(c.file, file);
        EXPECT_EQ(c.base_length, GetModuleBaseNameA(Pid(c.pid), nullptr, base, c.size));
        EXPECT_STREQ(c.base, base);
    }
    for (PROCESS_INFORMATION p : {plain, quoted}) TerminateProcess(p.hProcess, 0), CloseHandle(p.hProcess);
    // This process, a process that is gone, and buffers that cannot take a name.
    char own[4096];
    EXPECT_EQ(strlen(program_invocation_name), GetModuleFileNameA(nullptr, own, sizeof own));
    SetLastError(0);
    EXPECT_EQ(0u, GetModuleFileNameExA(Pid(plain.dwProcessId), nullptr, own, sizeof own));
    EXPECT_EQ(DWORD(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_STREQ("", own);
    EXPECT_EQ(0u, GetModuleBaseNameA(Pid(getpid()), nullptr, nullptr, 10));
    EXPECT_EQ(0u, GetModuleFileNameA(nullptr, own, 0));
}

std::vector<DWORD> ProcEntries() {
    std::vector<DWORD> pids;
    DIR* dir = opendir("/proc");
    for (dirent* e; (e = readdir(dir)) != nullptr;)
        if (strspn(e->d_name, "0123456789") == strlen(e->d_name)) pids.push_back(atoi(e->d_name));
    closedir(dir);
    return pids;
}

TEST(ProcessList, SmallArrayStillReportsEveryProcess) {
    PROCESS_INFORMATION child = Sleeper("/bin/sleep");
    const size_t expected = ProcEntries().size();
    DWORD ids[2] = {0, 0}, count = 0, total = 0;
    EXPECT_TRUE(EnumProcesses(ids, 2, &count));
    EXPECT_EQ(0u, GetProcessCount(&total));
    // Other processes of the machine come and go meanwhile.
    for (DWORD n : {count, total}) EXPECT_NEAR(double(expected), double(n), 20.0);
    EXPECT_GT(count, 2u);
    EXPECT_NE(0u, ids[0] * ids[1]);
    std::vector<DWORD> all(count + 64);
    ASSERT_TRUE(EnumProcesses(all.data(), DWORD(all.size()), &count));
    all.resize(std::min<size_t>(count, all.size()));
    for (DWORD pid : {DWORD(getpid()), child.dwProcessId})
        EXPECT_NE(all.end(), std::find(all.begin(), all.end(), pid)) << pid;
    EXPECT_FALSE(EnumProcesses(nullptr, 2, &count));
    EXPECT_FALSE(EnumProcesses(ids, 2, nullptr));
    TerminateProcess(child.hProcess, 0), CloseHandle(child.hProcess);
}

}  // namespace
