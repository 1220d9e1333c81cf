// Environment block, version, names, socket start-up and its error code, pointer checks.
#include <windows.h>

#include <gtest/gtest.h>
#include <string.h>
#include <sys/utsname.h>

#include <string>
#include <thread>
#include <vector>

#include "core/sysinfo.h"

TEST(SysInfo, VersionIsTwoDigitsOfMajorAndMinorFromTheRelease) {
    const struct { const char* release; DWORD version; } rows[] = {{"2.6.18", 1538}, {"5.15.0", 3845},
        {"123.4", 12}, {"4.100", 4 + 10 * 256}, {"6", 6}, {"3.2-rc1", 3 + 2 * 256}, {"x.1", 0}, {"", 0}};
    for (const auto& r : rows) EXPECT_EQ(tarvex::version_from_release(r.release), r.version) << r.release;
    struct utsname names;
    EXPECT_TRUE(uname(&names) == 0 && GetVersion() == tarvex::version_from_release(names.release) &&
                GetVersion() != 0);
}

// Cut to size - 1 characters, TRUE only when all fitted, size set to what the buffer holds.
TEST(SysInfo, NamesAreCutToTheBufferAndReportTheirLength) {
    const struct { const char* logname; DWORD size; BOOL result; const char* text; DWORD length; } rows[] = {
        {"abcde", 5, FALSE, "abcd", 4}, {"abcde", 6, TRUE, "abcde", 5}, {"abcde", 1, FALSE, "", 0},
        {"abcde", 0, FALSE, "#", 0}, {nullptr, 9, FALSE, "", 0}};
    for (const auto& r : rows) {
        r.logname ? setenv("LOGNAME", r.logname, 1) : unsetenv("LOGNAME");
        char buffer[16] = "#";
        DWORD size = r.size;
        EXPECT_TRUE(GetUserNameA(buffer, &size) == r.result && buffer == std::string(r.text) &&
                    size == r.length) << r.size << buffer;
    }
    DWORD size = 8;
    EXPECT_TRUE(!GetUserNameA(nullptr, &size) && !GetComputerNameA(reinterpret_cast<char*>(&size), nullptr));
    struct utsname names;
    uname(&names);
    char node[80], machine[80];
    DWORD node_size = sizeof node, machine_size = sizeof machine;
    EXPECT_TRUE(GetComputerNameA(node, &node_size) && node == std::string(names.nodename) &&
                node_size == strlen(names.nodename));
    EXPECT_TRUE(GetProcessorType(machine, &machine_size) && machine == std::string(names.machine));
}

// The block is the current environment, NUL-separated, ending in an extra NUL; the stubs do nothing.
TEST(SysInfo, EnvironmentBlockFollowsTheEnvironmentAndTheStubsChangeNothing) {
    setenv("TVX_ENV_PROBE", "after-start", 1);
    char* block = GetEnvironmentStrings();
    ASSERT_NE(block, nullptr);
    std::vector<std::string> entries, expected;
    for (char* p = block; *p != '\0'; p += strlen(p) + 1) entries.push_back(p);
    for (char** e = environ; *e != nullptr; ++e) expected.push_back(*e);
    EXPECT_EQ(entries, expected);
    EXPECT_TRUE(FreeEnvironmentStringsA(block) && !FreeEnvironmentStringsA(nullptr));
    char buffer[32] = "#";
    EXPECT_TRUE(GetEnvironmentVariableA("TVX_ENV_PROBE", buffer, sizeof buffer) == 0 && buffer[0] == '#');
    EXPECT_TRUE(SetEnvironmentVariableA("TVX_ENV_PROBE", "x") == 0 &&
                std::string(getenv("TVX_ENV_PROBE")) == "after-start");
}

// Not started: 10093 and no store. Started: the record cleared once, the version stored every
// time, the socket table before the stored code, codes per thread. Cleanup once.
TEST(SysInfo, SocketStartUpStatesAndErrorTable) {
    WSASetLastError(5);
    EXPECT_TRUE(WSAGetLastError() == WSANOTINITIALISED && WSAStartup(0x0202, nullptr) == 1);
    WSADATA data;
    memset(&data, 0xAB, sizeof data);
    ASSERT_TRUE(WSAStartup(0x0202, &data) == 0 && data.wVersion == 0x0202);
    for (size_t i = 2; i < sizeof data; ++i) ASSERT_EQ(reinterpret_cast<BYTE*>(&data)[i], 0) << i;
    data.szDescription[0] = 'k';
    EXPECT_TRUE(WSAStartup(0x0101, &data) == 0 && data.wVersion == 0x0101 && data.szDescription[0] == 'k');
    WSASetLastError(7);
    const struct { int error_number; int code; } rows[] = {{0, 7}, {95, 10045}, {114, 10035},
        {115, 10036}, {11, 10035}, {111, 10061}, {41, 41}, {2, 2}};
    for (const auto& r : rows) {
        errno = r.error_number;
        EXPECT_EQ(WSAGetLastError(), r.code) << r.error_number;
        EXPECT_EQ(errno, r.code == r.error_number ? r.error_number : 0) << r.error_number;
    }
    errno = 0;
    std::thread([] { EXPECT_EQ(WSAGetLastError(), 0); WSASetLastError(9); }).join();
    EXPECT_EQ(WSAGetLastError(), 7);
    EXPECT_TRUE(WSACleanup() == 0 && WSACleanup() == 1 && WSAGetLastError() == WSANOTINITIALISED);
}

// An index freed under the socket layer and handed to the host stays the host's.
TEST(SysInfo, SocketLayerNeverReachesItsIndexOnceFreed) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0202, &data), 0);
    WSASetLastError(77);
    FreeAllTLSSlots();
    DWORD index = TlsAlloc();
    int mine = 0;
    ASSERT_TRUE(index == 0 && TlsSetValue(index, &mine));  // the socket layer's index before
    WSASetLastError(5);
    EXPECT_TRUE(WSAGetLastError() == 0 && TlsGetValue(index) == &mine);
    ASSERT_EQ(WSAStartup(0x0202, &data), 0);  // takes a new index
    WSASetLastError(6);
    EXPECT_TRUE(WSAGetLastError() == 6 && WSACleanup() == 0 && TlsGetValue(index) == &mine &&
                GetLastError() == 0);
}

TEST(SysInfo, PointerChecksRefuseOnlyTheLowest64KiB) {
    for (uintptr_t value : {uintptr_t{0}, uintptr_t{4096}, uintptr_t{0xFFFF}, uintptr_t{0x10000}, ~uintptr_t{0}})
        for (UINT_PTR size : {UINT_PTR{0}, ~UINT_PTR{0}})
            EXPECT_EQ(IsBadReadPtr((char*)value, size) + IsBadWritePtr((char*)value, size) +
                      IsBadStringPtrA((char*)value, size) + IsBadCodePtr((int (*)(void))value),
                      value <= 0xFFFF ? 4 : 0) << value;
}
