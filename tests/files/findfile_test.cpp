// Directory search: what a pattern reports (never the registry's files), the one-entry form, the
// failures and their last errors, handles that name no search, the table's size and release.
#include <windows.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "tvx_test.h"

using namespace tvxtest;

namespace {

const std::string& Spool() {
    static const std::string dir = [] {
        const std::string d = Root() + "/spool";
        mkdir(d.c_str(), 0755), mkdir((d + "/d.msg").c_str(), 0755), mkdir((d + "/empty").c_str(), 0755);
        for (const char* name : {"A.MSG", "b.msg", "c.txt", ".hidden.msg", ".key", ".ab.reg", ".AB.REG"})
            std::ofstream(d + "/" + name) << "hello";
        return d;
    }();
    return dir;
}

// Every entry a search reports, sorted: directories (size 0) end in '/', 5-byte files are bare.
// The last error after the end must be 18.
std::vector<std::string> Search(const std::string& path) {
    WIN32_FIND_DATAA r;
    std::vector<std::string> names;
    HANDLE h = FindFirstFileA(path.c_str(), &r);
    for (BOOL more = h != INVALID_HANDLE_VALUE; more; more = FindNextFileA(h, &r)) {
        const bool dir = r.dwFileAttributes == 0x10 && r.nFileSizeLow == 0, file = r.nFileSizeLow == 5;
        names.push_back(r.cFileName + std::string(dir ? "/" : file && r.dwFileAttributes == 0x80 ? "" : "?"));
    }
    EXPECT_TRUE(h == INVALID_HANDLE_VALUE || (GetLastError() == 18 && FindClose(h))) << path;
    return std::sort(names.begin(), names.end()), names;
}

TEST(FindFiles, PatternsIgnoreCaseAndNeverReportRegistryFiles) {
    using Names = std::vector<std::string>;
    EXPECT_EQ(Search(Spool() + "/*.msg"), (Names{".hidden.msg", "A.MSG", "b.msg", "d.msg/"}));
    EXPECT_EQ(Search(Spool() + "/?.MSG"), (Names{"A.MSG", "b.msg", "d.msg/"}));
    EXPECT_EQ(Search(Spool() + "/*"), (Names{"../", "./", ".hidden.msg", "A.MSG", "b.msg", "c.txt", "d.msg/", "empty/"}));
    EXPECT_EQ(Search(Spool() + "/b.msg"), Names{"b.msg"});  // one named entry, then 18
    WIN32_FIND_DATAA record;
    FILETIME written;
    struct stat st;
    FindClose(FindFirstFileA((Spool() + "/b.*").c_str(), &record));
    ASSERT_EQ(stat((Spool() + "/b.msg").c_str(), &st), 0);
    ConvertFileTime(&written, st.st_mtime);
    EXPECT_TRUE(!memcmp(&written, &record.ftLastWriteTime, sizeof written) && !record.cAlternateFileName[0]);
    EXPECT_TRUE(!strcmp(record.cPattern, "b.*") && record.cDirectory == Spool() + "/");
}

TEST(FindFiles, FailuresSetTheirLastErrorsOrLeaveItAlone) {
    const std::string slashes(280, '/');  // cut to 260 bytes, the path would name the spool
    const struct { std::string path; DWORD error; } cases[] = {
        {"*.msg", 3}, {Spool() + "/missing/*.msg", 3}, {Spool() + "/b.msg/*", 3},
        {Spool() + "/missing", 2}, {Spool() + slashes + "*", 3}, {Spool() + slashes + "b.msg", 2},
        {Spool() + "/*/b.msg", 1234},  // the pattern "*/b.msg" matches no name
        {Spool() + "/empty/*.msg", 1234},
    };
    WIN32_FIND_DATAA record;
    for (const auto& c : cases) {
        SetLastError(1234);
        EXPECT_EQ(FindFirstFileA(c.path.c_str(), &record), INVALID_HANDLE_VALUE) << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
    EXPECT_TRUE(FindFirstFileA(nullptr, &record) == INVALID_HANDLE_VALUE && GetLastError() == 87);
}

TEST(FindFiles, OnlyFindCloseEndsASearchAndBadHandlesAreRefused) {
    WIN32_FIND_DATAA record;
    HANDLE h = FindFirstFileA((Spool() + "/*.msg").c_str(), &record);
    HANDLE live = FindFirstFileA((Spool() + "/*.msg").c_str(), &record);
    EXPECT_TRUE(CloseHandle(h) && FindNextFileA(h, &record) && FindClose(h));  // CloseHandle leaves it open
    // Another kind's tag on a live search's index is not that search.
    HANDLE other_kind = reinterpret_cast<HANDLE>((reinterpret_cast<uintptr_t>(live) & ~uintptr_t{31}) | 7);
    for (HANDLE bad : {h, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(uintptr_t{1000000} << 5 | 18), other_kind}) {
        SetLastError(0);
        EXPECT_TRUE(!FindNextFileA(bad, &record) && GetLastError() == 6);
        SetLastError(0);
        EXPECT_TRUE(!FindClose(bad) && GetLastError() == 6);
    }
    EXPECT_TRUE(FindClose(live));
}

TEST(FindFiles, TableHoldsAsManySearchesAsItWasGivenAndIsReleasedTwiceSafely) {
    FreeAllFindFiles(), FreeAllFindFiles();
    WIN32_FIND_DATAA record;
    const std::string path = Spool() + "/*.msg";
    EXPECT_EQ(FindFirstFileA(path.c_str(), &record), INVALID_HANDLE_VALUE);  // no table
    ASSERT_EQ(InitFindFiles(2), 0);
    HANDLE first = FindFirstFileA(path.c_str(), &record), second = FindFirstFileA(path.c_str(), &record);
    EXPECT_TRUE(reinterpret_cast<uintptr_t>(first) == 18 && reinterpret_cast<uintptr_t>(second) == 50);
    SetLastError(1234);
    EXPECT_TRUE(FindFirstFileA(path.c_str(), &record) == INVALID_HANDLE_VALUE && GetLastError() == 1234);
    EXPECT_TRUE(FindClose(first) && FindFirstFileA(path.c_str(), &record) == first);
    FreeAllFindFiles();
    EXPECT_TRUE(!FindNextFileA(second, &record) && GetLastError() == 6);
}

}  // namespace
