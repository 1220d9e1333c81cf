// Files and directories by name: copies of any size, moves across file systems, directories that
// must not lose registry keys, attributes, the temporary and current directories, refusals.
#include <windows.h>

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <fstream>

#include "tvx_test.h"

using namespace tvxtest;

namespace {

std::string Path(const std::string& name) { return Root() + "/" + name; }
void Put(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
std::string Get(const std::string& path) { std::ifstream in(path); return {std::istreambuf_iterator<char>(in), {}}; }
bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
mode_t ModeOf(const std::string& path) { struct stat st = {}; return stat(path.c_str(), &st), st.st_mode & 07777; }

// Low 32 bits of the size read as a negative number (3 GiB) and as a small one (4 GiB + 12345).
TEST(Paths, CopyOfASparseMultiGigabyteFileCopiesEveryByteAndStaysSparse) {
    for (const off_t size : {off_t{3} << 30, (off_t{4} << 30) + 12345}) {
        const std::string from = Path("sparse"), to = Path("sparse.copy");
        std::vector<off_t> at = {0, (off_t{2} << 30) - 2000, (off_t{2} << 30) + 65541, size - 4096};
        if (size > off_t{4} << 30) at.push_back((off_t{4} << 30) - 100);
        int fd = open(from.c_str(), O_CREAT | O_TRUNC | O_RDWR, 0600);
        for (size_t i = 0; i < at.size(); ++i)
            ASSERT_EQ(pwrite(fd, std::string(4096, 'a' + i).data(), 4096, at[i]), 4096);
        close(fd);
        ASSERT_TRUE(CopyFileA(from.c_str(), to.c_str(), TRUE));
        struct stat st = {};
        EXPECT_TRUE(stat(to.c_str(), &st) == 0 && st.st_size == size);
        WIN32_FIND_DATAA found;  // the search reports both halves of the size
        FindClose(FindFirstFileA(to.c_str(), &found));
        EXPECT_EQ(uint64_t{found.nFileSizeHigh} << 32 | found.nFileSizeLow, uint64_t(size));
        EXPECT_LT(st.st_blocks * 512, 1 << 20);  // holes stayed holes
        fd = open(to.c_str(), O_RDONLY);
        for (size_t i = 0; i < at.size(); ++i) {
            char block[4096] = {};
            EXPECT_EQ(pread(fd, block, 4096, at[i]), 4096);
            EXPECT_EQ(std::count(block, block + 4096, 'a' + i), 4096) << "block at " << at[i];
        }
        close(fd), unlink(from.c_str()), unlink(to.c_str());
    }
}

TEST(Paths, MoveAcrossFileSystemsCopiesAndNeverDropsTheSourceOverAPartialCopy) {
    const std::string from = Path("moving"), to = "/dev/shm/" + UniqueName("moved");
    const std::string data(300000, 'm');
    struct stat here = {}, there = {};
    if (stat(Root().c_str(), &here) || stat("/dev/shm", &there) || here.st_dev == there.st_dev)
        GTEST_SKIP() << "needs " << Root() << " and /dev/shm on two file systems";
    Put(from, data), chmod(from.c_str(), 0604);
    EXPECT_FALSE(MoveFileExA(from.c_str(), to.c_str(), 0));  // no copy unless allowed
    EXPECT_EQ(ChildExit([&] {  // files of at most 64 KiB: the copy fails part-way
        const struct rlimit limit = {65536, 65536};
        signal(SIGXFSZ, SIG_IGN), setrlimit(RLIMIT_FSIZE, &limit);
        return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_COPY_ALLOWED);
    }), FALSE);
    EXPECT_TRUE(Get(from) == data && !Exists(to));
    EXPECT_TRUE(MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_COPY_ALLOWED));
    EXPECT_TRUE(Get(to) == data && !Exists(from) && ModeOf(to) == 0604);
    unlink(to.c_str());
}

TEST(Paths, OverwritesAndRemovalsHappenOnlyWhereTheyMay) {
    const std::string a = Path("a"), b = Path("b"), key = Path("key"), empty = Path("empty");
    Put(a, "alpha"), Put(b, "beta");
    EXPECT_FALSE(CopyFileA(a.c_str(), b.c_str(), TRUE) || MoveFileA(a.c_str(), b.c_str()));
    EXPECT_FALSE(CopyFileA(a.c_str(), a.c_str(), FALSE));  // onto itself: neither emptied nor removed
    EXPECT_TRUE(Get(a) == "alpha" && Get(b) == "beta");
    EXPECT_TRUE(MoveFileExA(a.c_str(), b.c_str(), 0) && Get(b) == "alpha" && !Exists(a));
    ASSERT_TRUE(CreateDirectoryA(key.c_str(), nullptr) && CreateDirectoryA(empty.c_str(), nullptr));
    EXPECT_EQ(ModeOf(key), 0750u);  // 0775 under the library's mask 027
    Put(key + "/.key", ""), Put(key + "/.x.reg", "v");
    // Only registry files left: the key stays. A file is no directory to remove.
    EXPECT_FALSE(RemoveDirectoryA(key.c_str()) || RemoveDirectoryA(b.c_str()));
    EXPECT_TRUE(Exists(key + "/.key") && Exists(key + "/.x.reg") && Exists(b));
    EXPECT_TRUE(RemoveDirectoryA(empty.c_str()) && !Exists(empty));
    EXPECT_TRUE(CreateDirectoryA(empty.c_str(), nullptr) && DeleteFileA(empty.c_str()) && !Exists(empty));
}

TEST(Paths, PermissionRefusalsReachTheLastError) {
    const std::string dir = Path("perm");
    for (const char* d : {"", "/ro", "/secret"}) mkdir((dir + d).c_str(), 0700);
    Put(dir + "/f", "data"), Put(dir + "/secret/x", "x");
    chmod(dir.c_str(), 0755), chmod((dir + "/ro").c_str(), 0555), chmod((dir + "/f").c_str(), 0644);
    EXPECT_EQ(tvxtest::AsUnprivilegedUser([&] {
        auto wrong = [](bool done) { return done || GetLastError() != 5 ? 1 : 0; };  // not refused
        return wrong(CopyFileA((dir + "/f").c_str(), (dir + "/ro/g").c_str(), FALSE)) |
               wrong(GetFileAttributesA((dir + "/secret/x").c_str()) != INVALID_FILE_ATTRIBUTES) << 1 |
               wrong(CreateDirectoryA((dir + "/ro/d").c_str(), nullptr)) << 2;
    }), 0);
}

TEST(Paths, AttributesComeFromTheModeAndTheName) {
    const std::string hidden = Path(".cache"), file = Path("plain");
    mkdir(hidden.c_str(), 0755), Put(file, "x"), chmod(file.c_str(), 0444);
    EXPECT_TRUE(GetFileAttributesA(hidden.c_str()) == 0x12 && GetFileAttributesA(file.c_str()) == 0x81);
    chmod(file.c_str(), 0666);  // read-only takes the owner's and group's write bits, not the others'
    EXPECT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY) && ModeOf(file) == 0446);
    EXPECT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_HIDDEN) && ModeOf(file) == 0446);
    EXPECT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL) && ModeOf(file) == 0646);
}

TEST(Paths, TempPathFollowsTmpdirWhenItFits) {
    const struct { const char* tmpdir; DWORD size; const char* text; DWORD length; } cases[] = {
        {nullptr, 260, "/tmp/", 5},       {"", 260, "/tmp/", 5},      {"/var/tmp", 260, "/var/tmp/", 9},
        {"/var/tmp/", 9, "/tmp/", 5},     {"/var/tmp/", 10, "/var/tmp/", 9}, {"/var/tmp", 9, "/tmp/", 5},
        {"/var/tmp", 10, "/var/tmp/", 9}, {nullptr, 6, "/tmp/", 5},   {nullptr, 5, "", 5},
        {"/var/tmp", 0, "guard", 5}};
    for (const auto& c : cases) {
        c.tmpdir ? setenv("TMPDIR", c.tmpdir, 1) : unsetenv("TMPDIR");
        char buffer[260] = "guard";
        const std::string where = (c.tmpdir ? c.tmpdir : "unset") + (", " + std::to_string(c.size));
        EXPECT_EQ(GetTempPathA(c.size, buffer), c.length) << where;
        EXPECT_STREQ(buffer, c.text) << where;
    }
}

TEST(Paths, CurrentDirectoryTextAndTimesKeepTheirBounds) {
    const std::string sub = Path("sub");
    mkdir(sub.c_str(), 0755);
    ASSERT_TRUE(SetCurrentDirectoryA(Root().c_str()) && SetCurrentDirectoryA("sub"));
    char buffer[300] = "guard";
    EXPECT_TRUE(GetCurrentDirectoryA(sub.size(), buffer) == sub.size() && !strcmp(buffer, "guard"));
    EXPECT_TRUE(GetCurrentDirectoryA(sizeof buffer, buffer) == sub.size() && buffer == sub);
    // Past 260 bytes a path is refused, not cut to one that exists.
    EXPECT_FALSE(SetCurrentDirectoryA((Root() + std::string(300, '/')).c_str()));
    EXPECT_TRUE(ExpandEnvironmentStringsA("%HOME%", buffer, 5) == 7 && !strcmp(buffer, "%HOM"));
    FILETIME ft = {};
    ConvertFileTime(&ft, 4102444800);  // 2100-01-01, past 2038
    EXPECT_EQ(uint64_t{ft.dwHighDateTime} << 32 | ft.dwLowDateTime,
              (4102444800 + 11644473600ull) * 10000000);
}

TEST(Paths, NullPointersFailCleanly) {
    const char* p = Root().c_str();
    const bool failed[] = {
        !CopyFileA(nullptr, p, 0), !CopyFileA(p, nullptr, 0), !MoveFileExA(nullptr, p, 2),
        !MoveFileExA(p, nullptr, 2), !MoveFileA(nullptr, p), !MoveFileA(p, nullptr), !DeleteFileA(nullptr),
        !CreateDirectoryA(nullptr, nullptr), !RemoveDirectoryA(nullptr),
        GetFileAttributesA(nullptr) == INVALID_FILE_ATTRIBUTES, !SetFileAttributesA(nullptr, 1),
        !GetTempPathA(260, nullptr), !GetCurrentDirectoryA(260, nullptr), !SetCurrentDirectoryA(nullptr),
        !ExpandEnvironmentStringsA(nullptr, nullptr, 0), !ExpandEnvironmentStringsA(p, nullptr, 9),
        !GetDiskFreeSpaceA(nullptr, nullptr, nullptr, nullptr, nullptr),
        !GetDiskFreeSpaceExA(nullptr, nullptr, nullptr, nullptr)};
    for (size_t i = 0; i < std::size(failed); ++i) EXPECT_TRUE(failed[i]) << "call " << i;
    ConvertFileAttributes(nullptr, nullptr), ConvertFileTime(nullptr, 0);
}

}  // namespace
