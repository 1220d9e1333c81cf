// Files and directories by name: copies of any size, moves across file systems, directories that
// must not lose registry keys, attributes, the temporary and current directories, refusals.
#include <windows.h>

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "tvx_test.h"

using namespace tvxtest;

namespace {

std::string Path(const std::string& name) { return Root() + "/" + name; }
void Put(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
std::string Get(const std::string& path) {
    std::ostringstream text;
    return text << std::ifstream(path).rdbuf(), text.str();
}
bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
mode_t ModeOf(const std::string& path) {
    struct stat st = {};
    return stat(path.c_str(), &st), st.st_mode & 07777;
}

// Sizes whose low 32 bits read as a negative number (3 GiB) and as a small one (4 GiB + 12345).
TEST(Paths, CopyOfASparseMultiGigabyteFileCopiesEveryByteAndStaysSparse) {
    for (const off_t size : {off_t{3} << 30, (off_t{4} << 30) + 12345}) {
        const std::string from = Path("sparse"), to = Path("sparse.copy");
        const int fd = open(from.c_str(), O_CREAT | O_TRUNC | O_RDWR, 0600);
        std::vector<off_t> at = {0, (off_t{2} << 30) - 2000, (off_t{2} << 30) + 65541, size - 4096};
        if (size > (off_t{4} << 30) + 4096) at.push_back((off_t{4} << 30) - 100);
        for (size_t i = 0; i < at.size(); ++i)
            ASSERT_EQ(pwrite(fd, std::string(4096, 'a' + i).data(), 4096, at[i]), 4096);
        close(fd);
        ASSERT_TRUE(CopyFileA(from.c_str(), to.c_str(), TRUE));
        struct stat st = {};
        ASSERT_EQ(stat(to.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, size);
        EXPECT_LT(st.st_blocks * 512, 1 << 20);  // holes stayed holes
        const int copy = open(to.c_str(), O_RDONLY);
        for (size_t i = 0; i < at.size(); ++i) {
            char block[4096] = {};
            EXPECT_EQ(pread(copy, block, 4096, at[i]), 4096);
            EXPECT_EQ(std::count(block, block + 4096, 'a' + i), 4096) << "block at " << at[i];
        }
        close(copy);
        unlink(from.c_str()), unlink(to.c_str());
    }
}

// /dev/shm is tmpfs; the test root lies on another file system.
TEST(Paths, MoveAcrossFileSystemsCopiesAndNeverDropsTheSourceOverAPartialCopy) {
    const std::string from = Path("moving"), to = "/dev/shm/" + UniqueName("moved");
    struct stat a = {}, b = {};
    if (stat(Root().c_str(), &a) != 0 || stat("/dev/shm", &b) != 0 || a.st_dev == b.st_dev)
        GTEST_SKIP() << "needs " << Root() << " and /dev/shm on two file systems";
    const std::string data(300000, 'm');
    Put(from, data);
    chmod(from.c_str(), 0604);
    EXPECT_FALSE(MoveFileExA(from.c_str(), to.c_str(), 0));  // no copy unless allowed
    EXPECT_EQ(ChildExit([&] {  // at most 64 KiB per file: the copy fails halfway
        const struct rlimit limit = {65536, 65536};
        signal(SIGXFSZ, SIG_IGN), setrlimit(RLIMIT_FSIZE, &limit);
        return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_COPY_ALLOWED) ? 1 : 0;
    }), 0);
    EXPECT_TRUE(Get(from) == data && !Exists(to));
    EXPECT_TRUE(MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_COPY_ALLOWED));
    EXPECT_TRUE(Get(to) == data && !Exists(from) && ModeOf(to) == 0604);
    unlink(to.c_str());
}

TEST(Paths, CopyAndMoveRefuseToOverwriteWhereTheyMust) {
    const std::string a = Path("a"), b = Path("b");
    Put(a, "alpha"), Put(b, "beta");
    EXPECT_FALSE(CopyFileA(a.c_str(), b.c_str(), TRUE));
    EXPECT_FALSE(CopyFileA(a.c_str(), a.c_str(), FALSE));  // onto itself: no truncation, no removal
    EXPECT_FALSE(MoveFileA(a.c_str(), b.c_str()));
    EXPECT_TRUE(Get(a) == "alpha" && Get(b) == "beta");
    EXPECT_TRUE(CopyFileA(a.c_str(), b.c_str(), FALSE) && Get(b) == "alpha");
    Put(b, "beta");
    EXPECT_TRUE(MoveFileExA(a.c_str(), b.c_str(), 0) && Get(b) == "alpha" && !Exists(a));
}

TEST(Paths, RemoveDirectoryIsTrueOnlyWhenTheDirectoryIsGone) {
    const std::string key = Path("key"), empty = Path("empty"), file = Path("file");
    ASSERT_TRUE(CreateDirectoryA(key.c_str(), nullptr) && CreateDirectoryA(empty.c_str(), nullptr));
    EXPECT_EQ(ModeOf(key), 0750u);  // 0775 under the library's mask 027
    Put(key + "/.key", ""), Put(key + "/.x.reg", "v"), Put(file, "f");
    EXPECT_FALSE(RemoveDirectoryA(key.c_str()));  // only registry files: the key stays
    EXPECT_TRUE(Exists(key + "/.key") && Exists(key + "/.x.reg"));
    EXPECT_FALSE(RemoveDirectoryA(file.c_str()) || RemoveDirectoryA(Path("missing").c_str()));
    EXPECT_TRUE(Exists(file));
    EXPECT_TRUE(RemoveDirectoryA(empty.c_str()) && !Exists(empty));
    EXPECT_TRUE(CreateDirectoryA(empty.c_str(), nullptr) && DeleteFileA(empty.c_str()) && !Exists(empty));
}

// Root bypasses permission bits, so the calls run in a child that has become nobody.
TEST(Paths, PermissionRefusalsReachTheLastError) {
    const std::string dir = Path("perm");
    mkdir(dir.c_str(), 0755), mkdir((dir + "/ro").c_str(), 0555), mkdir((dir + "/secret").c_str(), 0700);
    Put(dir + "/f", "data"), Put(dir + "/secret/x", "x");
    for (const char* d : {"", "/ro"}) chmod((dir + d).c_str(), d[0] ? 0555 : 0755);
    chmod((dir + "/f").c_str(), 0644), chmod(Root().c_str(), 0711);
    EXPECT_EQ(ChildExit([&] {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return 9;
        int failed = CopyFileA((dir + "/f").c_str(), (dir + "/ro/g").c_str(), FALSE) || GetLastError() != 5;
        failed |= (GetFileAttributesA((dir + "/secret/x").c_str()) != INVALID_FILE_ATTRIBUTES ||
                   GetLastError() != 5) << 1;
        return failed | (CreateDirectoryA((dir + "/ro/d").c_str(), nullptr) || GetLastError() != 5) << 2;
    }), 0);
}

TEST(Paths, AttributesComeFromTheModeAndTheName) {
    const std::string hidden = Path(".cache"), file = Path("plain");
    mkdir(hidden.c_str(), 0755), Put(file, "x"), chmod(file.c_str(), 0666);
    EXPECT_EQ(GetFileAttributesA(hidden.c_str()), 0x12u);
    EXPECT_EQ(GetFileAttributesA(Path("missing").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(ModeOf(file) == 0446 && GetFileAttributesA(file.c_str()) == 0x80u);  // others may write
    chmod(file.c_str(), 0444);
    EXPECT_EQ(GetFileAttributesA(file.c_str()), 0x81u);
    EXPECT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_HIDDEN) && ModeOf(file) == 0444);
    EXPECT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL) && ModeOf(file) == 0644);
}

TEST(Paths, TempPathFollowsTmpdirWhenItFits) {
    const struct { const char* tmpdir; DWORD size; const char* text; DWORD length; } cases[] = {
        {nullptr, 260, "/tmp/", 5},     {"", 260, "/tmp/", 5},     {"/var/tmp", 260, "/var/tmp/", 9},
        {"/var/tmp/", 260, "/var/tmp/", 9}, {"/var/tmp", 10, "/var/tmp/", 9}, {"/var/tmp", 9, "/tmp/", 5},
        {nullptr, 6, "/tmp/", 5},       {nullptr, 5, "", 5},       {"/var/tmp", 0, "guard", 5},
    };
    for (const auto& c : cases) {
        c.tmpdir ? setenv("TMPDIR", c.tmpdir, 1) : unsetenv("TMPDIR");
        char buffer[260] = "guard";
        const std::string where = std::string(c.tmpdir ? c.tmpdir : "unset") + ", " + std::to_string(c.size);
        EXPECT_EQ(GetTempPathA(c.size, buffer), c.length) << where;
        EXPECT_STREQ(buffer, c.text) << where;
    }
}

TEST(Paths, CurrentDirectoryIsJoinedBoundedAndReportedWhole) {
    const std::string sub = Path("sub");
    mkdir(sub.c_str(), 0755);
    ASSERT_TRUE(SetCurrentDirectoryA(Root().c_str()) && SetCurrentDirectoryA("sub"));
    char buffer[300] = "guard";
    EXPECT_TRUE(GetCurrentDirectoryA(sub.size(), buffer) == sub.size() && !strcmp(buffer, "guard"));
    EXPECT_TRUE(GetCurrentDirectoryA(sizeof buffer, buffer) == sub.size() && buffer == sub);
    // A path that does not fit 260 bytes is refused, not cut to a directory that exists.
    EXPECT_FALSE(SetCurrentDirectoryA((Root() + std::string(300, '/')).c_str()));
    char text[5];
    EXPECT_TRUE(ExpandEnvironmentStringsA("%HOME%", text, 5) == 7 && !strcmp(text, "%HOM"));
    EXPECT_TRUE(ExpandEnvironmentStringsA("%HOME%", nullptr, 0) == 7);
}

TEST(Paths, ConversionsAndFreeSpaceAreSixtyFourBitsWide) {
    FILETIME ft = {};
    ConvertFileTime(&ft, 4102444800);  // 2100-01-01, past 2038
    EXPECT_EQ((uint64_t{ft.dwHighDateTime} << 32 | ft.dwLowDateTime), (4102444800 + 11644473600ull) * 10000000);
    WIN32_FIND_DATAA record = {};
    struct stat st = {};
    st.st_mode = S_IFREG | 0444, st.st_size = (off_t{5} << 32) + 7;
    ConvertFileAttributes(&record, &st);
    EXPECT_TRUE(record.dwFileAttributes == 0x81 && record.nFileSizeHigh == 5 && record.nFileSizeLow == 7);
    ULARGE_INTEGER mine = {}, total = {}, free_bytes = {};
    EXPECT_TRUE(GetDiskFreeSpaceExA(Root().c_str(), &mine, &total, &free_bytes));
    EXPECT_TRUE(mine.QuadPart <= free_bytes.QuadPart && free_bytes.QuadPart < total.QuadPart);
    EXPECT_FALSE(GetDiskFreeSpaceA(Path("missing").c_str(), nullptr, nullptr, nullptr, nullptr));
}

TEST(Paths, NullPointersFailCleanly) {
    const char* p = Root().c_str();
    const bool failed[] = {
        !CopyFileA(nullptr, p, 0), !CopyFileA(p, nullptr, 0), !MoveFileExA(nullptr, p, 2),
        !MoveFileExA(p, nullptr, 2), !MoveFileA(nullptr, p), !MoveFileA(p, nullptr),
        !DeleteFileA(nullptr), !CreateDirectoryA(nullptr, nullptr), !RemoveDirectoryA(nullptr),
        GetFileAttributesA(nullptr) == INVALID_FILE_ATTRIBUTES, !SetFileAttributesA(nullptr, 1),
        !GetTempPathA(260, nullptr), !GetCurrentDirectoryA(260, nullptr), !SetCurrentDirectoryA(nullptr),
        !ExpandEnvironmentStringsA(nullptr, nullptr, 0), !ExpandEnvironmentStringsA(p, nullptr, 9),
        !GetDiskFreeSpaceA(nullptr, nullptr, nullptr, nullptr, nullptr),
        !GetDiskFreeSpaceExA(nullptr, nullptr, nullptr, nullptr)};
    for (size_t i = 0; i < std::size(failed); ++i) EXPECT_TRUE(failed[i]) << "call " << i;
    ConvertFileAttributes(nullptr, nullptr), ConvertFileTime(nullptr, 0);
}

}  // namespace
