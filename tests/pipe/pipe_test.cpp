// Anonymous pipes: handle forms, transfers through ReadFile/WriteFile, duplicates and the
// reference counts that decide when each end's descriptor closes, and reads that must end.
#include <windows.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/handle.h"
#include "tvx_test.h"

namespace {

uint32_t V(HANDLE h) { return tarvex::handle_value(h); }
bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }
HANDLE Self() { return tarvex::to_handle(static_cast<uint32_t>(getpid())); }

struct Pipe {
    HANDLE r = INVALID_HANDLE_VALUE, w = INVALID_HANDLE_VALUE;
    Pipe() { EXPECT_TRUE(CreatePipe(&r, &w, nullptr, 0)); }
};

HANDLE Dup(HANDLE h) {
    HANDLE copy = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(DuplicateHandle(Self(), h, Self(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
    return copy;
}

bool Put(HANDLE h, const std::string& text) {
    DWORD n = 0;
    return WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr) && n == text.size();
}

std::string Take(HANDLE h, DWORD count) {
    std::string buffer(count, '\0');
    DWORD n = 12345;
    if (!ReadFile(h, buffer.data(), count, &n, nullptr)) return "<failed " + std::to_string(GetLastError()) + ">";
    return buffer.substr(0, n);
}

TEST(Pipes, HandlesNameTheDescriptorsAndCarryBytes) {
    Pipe p;
    int rfd = GetRealHandle(p.r, -1), wfd = GetRealHandle(p.w, -1);
    ASSERT_GE(rfd, 0);
    ASSERT_GE(wfd, 0);
    EXPECT_EQ((~static_cast<uint32_t>(rfd) << 5) + 14, V(p.r));
    EXPECT_EQ((~static_cast<uint32_t>(wfd) << 5) + 14, V(p.w));
    EXPECT_EQ(FD_CLOEXEC, fcntl(rfd, F_GETFD));
    EXPECT_TRUE(Put(p.w, "hello pipe"));
    EXPECT_EQ("", Take(p.r, 0));  // nothing asked for: answered at once
    EXPECT_EQ("hello", Take(p.r, 5));
    EXPECT_EQ(0u, SetFilePointer(p.r, 9, nullptr, FILE_BEGIN));  // no position, no failure
    EXPECT_EQ(" pipe", Take(p.r, 5));
    EXPECT_TRUE(CloseHandle(p.r) && CloseHandle(p.w));
    EXPECT_FALSE(IsOpen(rfd) || IsOpen(wfd));
    EXPECT_EQ(-1, GetRealHandle(p.r, -1));
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(p.r, 0, nullptr, FILE_BEGIN));
}

// A read waits for the whole count, or until every writer is gone; then it ends, reporting the
// broken pipe once nothing is left.
TEST(Pipes, ReadEndsWhenEveryWriterIsGone) {
    Pipe p;
    HANDLE w2 = Dup(p.w);
    EXPECT_TRUE(Put(p.w, "0123456789"));
    std::string got;
    std::thread reader([&] { got = Take(p.r, 100); });
    EXPECT_TRUE(CloseHandle(p.w));
    EXPECT_TRUE(Put(w2, "ab"));  // the duplicate writes to the write end
    EXPECT_TRUE(CloseHandle(w2));
    reader.join();
    EXPECT_EQ("0123456789ab", got);
    long long start = tvxtest::NowMs();
    EXPECT_EQ("<failed 109>", Take(p.r, 10));
    EXPECT_LT(tvxtest::NowMs() - start, 5000);
    EXPECT_TRUE(CloseHandle(p.r));
}

// Each end's descriptor closes with its last handle; a closed handle reaches nothing, even while
// a duplicate keeps its descriptor open, and a second close of it cannot take the duplicate's.
TEST(Pipes, DuplicatesHoldTheirEndOpen) {
    Pipe p;
    int rfd = GetRealHandle(p.r, -1);
    HANDLE r2 = Dup(p.r), r3 = Dup(r2), w2 = Dup(p.w);
    for (HANDLE d : {r2, r3, w2}) {
        EXPECT_EQ(14u, V(d) & 63) << "server form";
        EXPECT_LT(V(d) >> 6, 4096u);
    }
    EXPECT_EQ(rfd, GetRealHandle(r2, -1));
    EXPECT_EQ(rfd, GetRealHandle(r2, static_cast<int>(V(r2) >> 5)));
    EXPECT_EQ(GetRealHandle(p.w, -1), GetRealHandle(w2, static_cast<int>(V(w2) >> 5)));
    EXPECT_TRUE(CloseHandle(p.r));
    EXPECT_FALSE(CloseHandle(p.r));
    EXPECT_EQ("<failed 6>", Take(p.r, 1));
    EXPECT_TRUE(Put(w2, "xy"));
    EXPECT_EQ("x", Take(r2, 1));
    EXPECT_TRUE(CloseHandle(r2));
    EXPECT_EQ("y", Take(r3, 1));
    EXPECT_TRUE(IsOpen(rfd));
    EXPECT_TRUE(CloseHandle(r3));
    EXPECT_FALSE(IsOpen(rfd));
    EXPECT_FALSE(CloseHandle(r3));
    DWORD n = 5;
    EXPECT_FALSE(WriteFile(p.w, "z", 1, &n, nullptr));  // nobody can read any more
    EXPECT_EQ(0u, n);
    EXPECT_TRUE(CloseHandle(p.w) && CloseHandle(w2));
}

TEST(Pipes, BadHandlesAndArgumentsFailCleanly) {
    Pipe p;
    int rfd = GetRealHandle(p.r, -1);
    EXPECT_FALSE(CreatePipe(nullptr, &p.w, nullptr, 0));
    EXPECT_EQ(87u, GetLastError());
    HANDLE copy = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(DuplicateHandle(Self(), p.r, Self(), nullptr, 0, FALSE, 0));
    EXPECT_FALSE(DuplicateHandle(Self(), p.r, tarvex::to_handle(getpid() + 1), &copy, 0, FALSE, 0));
    DWORD n = 7;
    EXPECT_FALSE(ReadFile(p.r, nullptr, 4, &n, nullptr));
    EXPECT_EQ(0u, n);
    // A descriptor that is no pipe end, record forms naming nothing, and the invalid value.
    for (uint32_t value : {(~3u << 5) + 14, (~static_cast<uint32_t>(rfd + 50) << 5) + 14, 14u,
                           (7u << 6) + 46, (4000u << 6) + 14, 0xFFFFFFFFu}) {
        HANDLE h = tarvex::to_handle(value);
        EXPECT_EQ("<failed 6>", Take(h, 1)) << value;
        EXPECT_FALSE(CloseHandle(h)) << value;
        EXPECT_FALSE(DuplicateHandle(Self(), h, Self(), &copy, 0, FALSE, 0)) << value;
        EXPECT_EQ(INVALID_HANDLE_VALUE, copy);
        EXPECT_EQ(-1, GetRealHandle(h, -1)) << value;
    }
    EXPECT_TRUE(CloseHandle(p.r) && CloseHandle(p.w));
}

// A close of a read end's last handle lets a reader that waits for data go, rather than waiting
// for it for ever; and bytes go through intact when a reader and a writer race.
TEST(Pipes, CloseReleasesWaitingReaderAndDataArrivesIntact) {
    Pipe p;
    std::string got = "unset";
    std::thread reader([&] { got = Take(p.r, 1); });
    EXPECT_TRUE(tvxtest::WaitUntil([&] { return CloseHandle(p.r); }));
    reader.join();
    EXPECT_TRUE(got == "<failed 6>" || got == "<failed 109>") << got;
    EXPECT_TRUE(CloseHandle(p.w));

    Pipe q;
    std::string sent;
    for (int i = 0; sent.size() < (1u << 20); ++i) sent += std::to_string(i) + ",";
    std::string received;
    std::thread drain([&] {
        for (DWORD chunk = 1; received.size() < sent.size(); chunk = chunk * 7 % 9973 + 1) {
            std::string part = Take(q.r, std::min<DWORD>(chunk, static_cast<DWORD>(sent.size() - received.size())));
            if (part.rfind("<failed", 0) == 0) break;
            received += part;
        }
    });
    for (size_t at = 0; at < sent.size(); at += 5000) EXPECT_TRUE(Put(q.w, sent.substr(at, 5000)));
    drain.join();
    EXPECT_TRUE(received == sent);
    EXPECT_TRUE(CloseHandle(q.r) && CloseHandle(q.w));
}

// Transfers racing the last close of their end: a write never lands in the file that takes the
// closed descriptor's number next, and no thread is left waiting.
TEST(Pipes, TransfersRacingTheLastCloseNeverReachAReusedDescriptor) {
    const std::string path = tvxtest::Root() + "/mail/tmp/reused";
    std::atomic<uint32_t> r{0}, w{0};
    std::atomic<bool> done{false};
    auto loop = [&](bool writing) {
        return std::thread([&, writing] {
            for (char buffer[4096]; !done.load();) {
                DWORD n;
                writing ? WriteFile(tarvex::to_handle(w.load()), "junk", 4, &n, nullptr)
                        : ReadFile(tarvex::to_handle(r.load()), buffer, sizeof buffer, &n, nullptr);
            }
        });
    };
    std::thread writer = loop(true), reader = loop(false);
    for (int round = 0; round < 2000; ++round) {
        Pipe p;
        r = V(p.r), w = V(p.w);
        tvxtest::Spin(round * 37 % 20000);
        ASSERT_TRUE(CloseHandle(p.w) && CloseHandle(p.r));
        int files[2] = {open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600), -1};
        files[1] = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        for (int fd : files) close(fd);
    }
    done = true;
    writer.join(), reader.join();
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0, st.st_size);
}

// With a table of one record a second pipe, and any duplicate, is refused.
TEST(Pipes, FullTableRefusesWithLogLine) {
    if (getenv("KWR_MAX_FILES") == nullptr) {
        EXPECT_TRUE(tvxtest::RerunThisTest("KWR_MAX_FILES"));
        return;
    }
    Pipe p;
    HANDLE r = INVALID_HANDLE_VALUE, w = INVALID_HANDLE_VALUE, copy = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(CreatePipe(&r, &w, nullptr, 0));
    EXPECT_EQ(INVALID_HANDLE_VALUE, r);
    EXPECT_EQ(1, tvxtest::CountLogMessage("CreatePipe: Too many pipes"));
    EXPECT_FALSE(DuplicateHandle(Self(), p.r, Self(), &copy, 0, FALSE, 0));
    EXPECT_TRUE(CloseHandle(p.r) && CloseHandle(p.w));
    EXPECT_TRUE(CreatePipe(&r, &w, nullptr, 0));  // the record is free again
}

// Releasing the table ends every pipe: handles name nothing, descriptors are closed, and the
// table can be made again.
TEST(Pipes, FreeAllPipesEndsEveryPipeAndInitPipesStartsAgain) {
    Pipe p;
    int rfd = GetRealHandle(p.r, -1);
    HANDLE copy = Dup(p.w);
    FreeAllPipes();
    FreeAllPipes();
    EXPECT_FALSE(IsOpen(rfd));
    EXPECT_FALSE(CloseHandle(p.r) || CloseHandle(copy));
    EXPECT_FALSE(Put(p.w, "x"));
    HANDLE r, w;
    EXPECT_FALSE(CreatePipe(&r, &w, nullptr, 0));
    EXPECT_EQ(0, InitPipes(8));
    Pipe again;
    EXPECT_TRUE(Put(again.w, "ok") && Take(again.r, 2) == "ok");
}

}  // namespace
