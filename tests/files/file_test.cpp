// File handles: creation dispositions and their last errors, I/O, positions beyond 4 GiB, times,
// delete on close, the table's limits, and handles that are closed or closing.
#include <windows.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "tvx_test.h"

namespace {

constexpr DWORD RW = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

std::string NewPath() { return tvxtest::Root() + "/mail/tmp/" + tvxtest::UniqueName("file"); }

HANDLE Open(const std::string& path, DWORD disposition, DWORD flags = 0) {
    return CreateFileA(path.c_str(), RW, kShareAll, nullptr, disposition, flags, nullptr);
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

TEST(Files, DispositionsAndTheirLastErrors) {
    std::string path = NewPath();
    struct Step {
        DWORD disposition;
        bool opens;
        DWORD error;  // after the call; 99: left as it was
    } constexpr kSteps[] = {
        {OPEN_EXISTING, false, ERROR_INVALID_HANDLE}, {TRUNCATE_EXISTING, false, ERROR_INVALID_HANDLE},
        {OPEN_ALWAYS, true, 0},   {OPEN_ALWAYS, true, ERROR_FILE_EXISTS},
        {CREATE_NEW, false, ERROR_FILE_EXISTS},   {CREATE_ALWAYS, true, ERROR_FILE_EXISTS},
        {OPEN_EXISTING, true, 99}, {TRUNCATE_EXISTING, true, 99},
    };
    for (const Step& step : kSteps) {
        SetLastError(99);
        HANDLE h = Open(path, step.disposition);
        EXPECT_EQ(step.opens, h != INVALID_HANDLE_VALUE) << step.disposition;
        EXPECT_EQ(step.error, GetLastError()) << step.disposition;
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(h));
        }
    }
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
    // A pipe name goes to the pipe code and takes no record; a long path keeps its own error.
    HANDLE first = Open(path, OPEN_EXISTING);
    CloseHandle(first);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path + "\\pipe\\x", OPEN_ALWAYS));
    EXPECT_FALSE(Exists(path + "\\pipe\\x"));
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(tvxtest::Root() + "/" + std::string(300, 'l'), OPEN_ALWAYS));
    EXPECT_EQ(161u, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(nullptr, RW, 0, nullptr, OPEN_ALWAYS, 0, nullptr));
    HANDLE again = Open(path, OPEN_EXISTING);
    EXPECT_EQ(first, again);
    CloseHandle(again);
}

TEST(Files, ReadWriteSeekAndSizesBeyondFourGiB) {
    HANDLE h = Open(NewPath(), CREATE_ALWAYS);
    DWORD n = 7;
    char buffer[16] = {};
    EXPECT_TRUE(WriteFile(h, "abcdef", 6, &n, nullptr) && n == 6);
    EXPECT_TRUE(ReadFile(h, buffer, 4, &n, nullptr) && n == 0);  // at the end: TRUE, nothing read
    EXPECT_EQ(5u, SetFilePointer(h, -1, nullptr, FILE_CURRENT));  // one byte back
    EXPECT_TRUE(ReadFile(h, buffer, 0, &n, nullptr) && n == 0);
    EXPECT_EQ(0u, SetFilePointer(h, 0, nullptr, FILE_BEGIN));
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n == 6);
    EXPECT_STREQ("abcdef", buffer);
    // 0x80000000 with a high half of 0 is 2 GiB, not a step back.
    LONG high = 0;
    EXPECT_EQ(0x80000000u, SetFilePointer(h, static_cast<LONG>(0x80000000u), &high, FILE_BEGIN));
    EXPECT_EQ(0, high);
    LARGE_INTEGER at, to, size;
    to.QuadPart = 5LL << 30;
    EXPECT_TRUE(SetFilePointerEx(h, to, &at, FILE_BEGIN) && at.QuadPart == to.QuadPart);
    EXPECT_TRUE(SetEndOfFile(h));
    to.QuadPart = 3;
    EXPECT_TRUE(SetFilePointerEx(h, to, nullptr, FILE_BEGIN));
    DWORD size_high = 0;
    EXPECT_EQ(0x40000000u, GetFileSize(h, &size_high));
    EXPECT_EQ(1u, size_high);
    EXPECT_TRUE(GetFileSizeEx(h, &size) && size.QuadPart == 5LL << 30);
    EXPECT_EQ(3u, SetFilePointer(h, 0, nullptr, FILE_CURRENT));  // the size left the position alone
    EXPECT_TRUE(SetFileSize(h, 2, nullptr, FILE_BEGIN) && GetFileSizeEx(h, &size) && size.QuadPart == 2);
    EXPECT_TRUE(FlushFileBuffers(h));
    // The descriptor handed out carries the handle's position, and the handle follows it after.
    int fd = HandleToFileHandle(h);
    EXPECT_EQ(2, lseek(fd, 0, SEEK_CUR));
    EXPECT_EQ(2, write(fd, "zz", 2));
    EXPECT_EQ(4u, SetFilePointer(h, 0, nullptr, FILE_CURRENT));
    // Other kinds and bad handles: FALSE; a foreign kind's count is not touched.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    n = 7;
    EXPECT_FALSE(ReadFile(event, buffer, 1, &n, nullptr));
    EXPECT_EQ(7u, n);
    HANDLE pipe_read, pipe_write;  // a pipe has no position; a pipe handle naming nothing fails
    ASSERT_TRUE(CreatePipe(&pipe_read, &pipe_write, nullptr, 0));
    EXPECT_EQ(0u, SetFilePointer(pipe_write, 5, &high, FILE_BEGIN));
    EXPECT_TRUE(CloseHandle(pipe_read) && CloseHandle(pipe_write));
    EXPECT_EQ(0xFFFFFFFFu, SetFilePointer(pipe_write, 5, &high, FILE_BEGIN));
    EXPECT_EQ(0xFFFFFFFFu, SetFilePointer(INVALID_HANDLE_VALUE, 0, nullptr, FILE_BEGIN));
    CloseHandle(event);
    CloseHandle(h);
}

TEST(Files, TimesDeleteOnCloseAndClosedHandles) {
    std::string path = NewPath();
    HANDLE h = Open(path, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE);
    FILETIME access_before, write_time;
    ASSERT_TRUE(GetFileTime(h, nullptr, &access_before, nullptr));
    UnixToNT(1000000000, &write_time);
    EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &write_time));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(1000000000, st.st_mtime);
    FILETIME access_after;
    GetFileTime(h, nullptr, &access_after, nullptr);
    EXPECT_EQ(0, CompareFileTime(&access_before, &access_after));
    char name[8];
    EXPECT_EQ(1, HandleToFilename(h, name, sizeof name));
    EXPECT_EQ(path.substr(0, 7), name);
    int fd = HandleToFileHandle(h);
    EXPECT_TRUE(fd >= 0 && (fcntl(fd, F_GETFD) & FD_CLOEXEC));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(Exists(path));
    // The record is free now: every operation refuses the handle instead of using a stale one.
    DWORD n = 7;
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(6u, GetLastError());
    EXPECT_EQ(-1, HandleToFileHandle(h));
    EXPECT_EQ(0, HandleToFilename(h, name, sizeof name));
    EXPECT_FALSE(CloseHandle(h));
    // Still open at shutdown: deleted then too.
    std::string kept = NewPath();
    Open(kept, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE);
    FreeAllFiles();
    EXPECT_FALSE(Exists(kept));
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(kept, OPEN_ALWAYS));  // no table until InitFiles
    EXPECT_EQ(0, InitFiles(2));
    HANDLE a = Open(NewPath(), CREATE_NEW), b = Open(NewPath(), CREATE_NEW);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(NewPath(), CREATE_NEW));
    EXPECT_EQ(4u, GetLastError());
    int full_lines = 0;
    for (const std::string& m : tvxtest::LogMessages())
        full_lines += m.ends_with(" - too many open files (2)");
    EXPECT_EQ(1, full_lines);
    CloseHandle(a);
    EXPECT_NE(INVALID_HANDLE_VALUE, Open(NewPath(), CREATE_NEW));
    CloseHandle(b);
}

// A write racing the close of its handle never lands in a file opened meanwhile, though that file
// is likely to get the same descriptor number.
TEST(Files, AWriteRacingTheCloseNeverReachesTheNextFile) {
    for (int round = 0; round < 200; ++round) {
        HANDLE old = Open(NewPath(), CREATE_NEW);
        std::atomic<bool> started{false};
        std::thread writer([&] {
            DWORD n;
            started = true;
            while (WriteFile(old, "stale", 5, &n, nullptr)) {
            }
        });
        while (!started) {
        }
        CloseHandle(old);
        std::string next_path = NewPath();
        int next = open(next_path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        writer.join();
        struct stat st;
        ASSERT_EQ(0, fstat(next, &st));
        ASSERT_EQ(0, st.st_size) << "round " << round;
        close(next);
    }
}

}  // namespace
