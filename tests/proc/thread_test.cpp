// Threads: record lifetime, the table limit, stack sizes, ids, priorities, handle checks, and
// TerminateThread that never strands a lock (the storm is in thread_storm_test.cpp).
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <vector>

#include <windows.h>

#include "tvx_test.h"

using namespace tvxtest;

namespace {

// What a started thread saw of itself; it waits until released.
struct Probe {
    std::atomic<int> started{0}, release{0};
    std::atomic<DWORD> id{0};
    std::atomic<HANDLE> self{nullptr};
    std::atomic<size_t> stack{0};
    int how_to_end = 0;  // 0 return, 1 ExitThread
    HANDLE gate = nullptr;  // if set, waited for instead of `release`
};

DWORD WINAPI RunProbe(LPVOID arg) {
    auto* probe = static_cast<Probe*>(arg);
    pthread_attr_t attributes;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0)
        pthread_attr_getstacksize(&attributes, &size), pthread_attr_destroy(&attributes);
    probe->stack = size, probe->id = GetCurrentThreadId(), probe->self = GetCurrentThread();
    probe->started = 1;
    if (probe->gate != nullptr) WaitForSingleObject(probe->gate, INFINITE);
    while (!probe->release.load()) Sleep(1);
    if (probe->how_to_end == 1) ExitThread(7);
    return 0;
}

// Waits for the thread's end as the library sees it (an ended thread's priority cannot be set),
// then closes its handle: after that nothing of the test is in use by it.
bool EndAndClose(HANDLE thread) {
    return WaitUntil([&] { return !SetThreadPriority(thread, 0); }, 30000) && CloseHandle(thread);
}

// The handle a fresh CreateThread gets: the lowest free record's, so it shows which are free.
HANDLE NextHandle() {
    Probe probe;
    probe.release = 1;
    HANDLE thread = CreateThread(nullptr, 0, RunProbe, &probe, 0, nullptr);
    EXPECT_NE(thread, nullptr);
    EXPECT_TRUE(EndAndClose(thread));
    return thread;
}

}  // namespace

// The record is free only after both the end and the close, in either order and however it ends.
TEST(Threads, RecordIsFreedByWhicheverOfEndAndCloseComesSecond) {
    const HANDLE lowest = NextHandle();
    for (int how : {0, 1, 2}) for (bool close_first : {false, true}) {
        SCOPED_TRACE(testing::Message() << "end " << how << ", close first " << close_first);
        Probe probe;
        probe.how_to_end = how;
        DWORD id = 0;
        HANDLE thread = CreateThread(nullptr, 0, RunProbe, &probe, CREATE_SUSPENDED, &id);
        ASSERT_EQ(thread, lowest);
        ASSERT_TRUE(WaitUntil([&] { return probe.started.load() == 1; })) << "a suspended start";
        EXPECT_TRUE(probe.id == id && probe.self == thread);
        EXPECT_EQ(WaitForSingleObject(thread, 0), 128u);
        for (int priority : {-15, -2, -1, 0, 1, 2, 15, 99}) EXPECT_TRUE(SetThreadPriority(thread, priority));
        HANDLE wrong_kind = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(thread) - 6 + 2);
        for (HANDLE bad : {wrong_kind, HANDLE{}, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(uintptr_t{1024 << 5 | 6})})
            EXPECT_FALSE(SetThreadPriority(bad, 0) || TerminateThread(bad, 0) || CloseThread(bad));
        auto end = [&] {
            if (how == 2) EXPECT_TRUE(TerminateThread(thread, 0));
            else probe.release = 1;
        };
        if (close_first) {
            EXPECT_TRUE(CloseHandle(thread));
            EXPECT_FALSE(CloseHandle(thread) || TerminateThread(thread, 0)) << "a closed handle";
            EXPECT_NE(NextHandle(), lowest) << "freed while the thread runs";
            if (how == 2) probe.release = 1;  // its handle is gone; let it return instead
            else end();
        } else {
            end();
            EXPECT_TRUE(WaitUntil([&] { return !SetThreadPriority(thread, 0); })) << "never ended";
            EXPECT_NE(NextHandle(), lowest) << "freed while the handle is open";
            EXPECT_TRUE(TerminateThread(thread, 0)) << "an ended thread whose handle is open";
            EXPECT_TRUE(CloseHandle(thread));
        }
        EXPECT_TRUE(WaitUntil([&] { return NextHandle() == lowest; })) << "the record was never freed";
    }
}

// Up to 1024 live threads; the next is refused and logged, and the table recovers.
TEST(Threads, TheTableHoldsOneThousandTwentyFourLiveThreads) {
    std::vector<Probe> probes(1025);
    std::vector<HANDLE> handles;
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (Probe& probe : probes) probe.gate = gate, probe.release = 1;
    for (int i = 0; i < 1024; ++i) {
        handles.push_back(CreateThread(nullptr, 65536, RunProbe, &probes[i], 0, nullptr));
        ASSERT_NE(handles.back(), nullptr) << i;
    }
    EXPECT_EQ(CreateThread(nullptr, 65536, RunProbe, &probes[1024], 0, nullptr), nullptr);
    EXPECT_EQ(CountLogMessage("CreateThread - too many threads"), 1);
    EXPECT_TRUE(SetEvent(gate));
    for (HANDLE thread : handles) EXPECT_TRUE(EndAndClose(thread));
    EXPECT_EQ(NextHandle(), handles[0]);
    EXPECT_TRUE(CloseHandle(gate));
}

// Stack size: the caller's, else KWR_THREAD_STACKSIZE's leading digits, else 1 MiB; too small is refused.
// The C library may hand out a cached stack up to four times the size asked for, and the largest
// case comes last, so a size that was not asked for shows.
TEST(Threads, StackSizeComesFromTheCallerThenTheEnvironment) {
    constexpr size_t kMiB = 1048576;
    struct Case { const char* variable; DWORD asked; size_t least, below; } cases[] = {
        {nullptr, 0, kMiB, 4 * kMiB + 1}, {"", 0, kMiB, 4 * kMiB + 1}, {"lots", 0, kMiB, 4 * kMiB + 1},
        {"12582912", 0, 12 * kMiB, 48 * kMiB + 1}, {"13631488bytes", 0, 13 * kMiB, 52 * kMiB + 1},
        {"12582912", 64 * kMiB, 64 * kMiB, 256 * kMiB + 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.variable ? c.variable : "(unset)") << " " << c.asked);
        if (c.variable) setenv("KWR_THREAD_STACKSIZE", c.variable, 1);
        else unsetenv("KWR_THREAD_STACKSIZE");
        Probe probe;
        probe.release = 1;
        HANDLE thread = CreateThread(nullptr, c.asked, RunProbe, &probe, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        ASSERT_TRUE(WaitUntil([&] { return probe.started.load() == 1; }));
        EXPECT_TRUE(probe.stack >= c.least && probe.stack < c.below) << probe.stack;
        EXPECT_TRUE(EndAndClose(thread));
    }
    unsetenv("KWR_THREAD_STACKSIZE");
    const HANDLE lowest = NextHandle();
    Probe probe;
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 1024, RunProbe, &probe, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EINVAL));
    EXPECT_EQ(CountLogMessage("CreateThread failed 22"), 1);
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, &probe, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(NextHandle(), lowest) << "a refused start kept its record";
}

// Ids: unique across 2000 threads in waves (stacks and records are reused), equal to what
// CreateThread reported, and never a kernel thread id of the host's own threads.
TEST(Threads, IdsAreUniqueAcrossWavesAndMatchTheCreatorsReport) {
    std::set<DWORD> seen;
    for (int wave = 0; wave < 20; ++wave) {
        std::vector<Probe> probes(100);
        std::vector<HANDLE> handles;
        std::vector<DWORD> reported(100);
        for (int i = 0; i < 100; ++i)
            handles.push_back(CreateThread(nullptr, 65536, RunProbe, &probes[i], 0, &reported[i]));
        for (int i = 0; i < 100; ++i) {
            ASSERT_TRUE(handles[i] != nullptr && WaitUntil([&] { return probes[i].started.load() == 1; }));
            EXPECT_EQ(probes[i].id.load(), reported[i]);
            EXPECT_TRUE(seen.insert(reported[i]).second) << "id " << reported[i] << " again";
            probes[i].release = 1;
        }
        for (HANDLE thread : handles) EXPECT_TRUE(EndAndClose(thread));
    }
    EXPECT_EQ(seen.size(), 2000u);
    EXPECT_EQ(GetCurrentThreadId(), static_cast<DWORD>(gettid()));
    EXPECT_EQ(GetCurrentThread(), nullptr);
    EXPECT_EQ(CountLogMessage("GetCurrentThread - invalid context"), 1);
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
    EXPECT_EQ(ChildExit([] { return GetCurrentProcessId() == static_cast<DWORD>(getpid()) ? 0 : 1; }), 0)
        << "a forked child kept its parent's id";
}

// A thread terminated while it waits inside a named-mutex create (holding the mutex table's lock
// and the lock file's bucket) leaves every table usable.
TEST(Threads, TerminatingAThreadBlockedUnderATableLockLeavesEveryTableUsable) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer holds a signal back while its target sleeps in the kernel";
#endif
    const std::string name = UniqueName("held");
    int ready[2], done[2];
    ASSERT_TRUE(pipe(ready) == 0 && pipe(done) == 0);
    pid_t holder = fork();
    if (holder == 0) {
        HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
        char byte = mutex != nullptr && mutex != INVALID_HANDLE_VALUE;
        (void)!write(ready[1], &byte, 1), (void)!read(done[0], &byte, 1);
        _exit(0);
    }
    char byte = 0;
    ASSERT_TRUE(read(ready[0], &byte, 1) == 1 && byte == 1);
    struct Blocked { std::string name; std::atomic<int> entered{0}; std::atomic<pid_t> tid{0}; } blocked{name};
    HANDLE thread = CreateThread(nullptr, 0, [](LPVOID arg) -> DWORD {
        auto* b = static_cast<Blocked*>(arg);
        b->tid = gettid(), b->entered = 1;
        CreateMutexA(nullptr, TRUE, b->name.c_str());  // waits for the other process
        b->entered = 2;
        return 0;
    }, &blocked, 0, nullptr);
    ASSERT_NE(thread, nullptr);
#ifdef SYS_fcntl64
    const long fcntl_call = SYS_fcntl64;
#else
    const long fcntl_call = SYS_fcntl;
#endif
    // Blocked for good once the creator sits in the kernel's lock wait.
    ASSERT_TRUE(WaitUntil([&] {
        if (blocked.entered != 1) return false;
        std::string path = "/proc/self/task/" + std::to_string(blocked.tid.load()) + "/syscall";
        FILE* file = fopen(path.c_str(), "r");
        long number = -1;
        if (file != nullptr) (void)!fscanf(file, "%ld", &number), fclose(file);
        return number == fcntl_call;
    }));
    ASSERT_TRUE(TerminateThread(thread, 0));
    EXPECT_TRUE(WaitUntil([&] { return !SetThreadPriority(thread, 0); })) << "still blocked";
    EXPECT_EQ(blocked.entered.load(), 1);
    EXPECT_TRUE(CloseHandle(thread));
    HANDLE other = CreateMutexA(nullptr, FALSE, UniqueName("other").c_str());
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, "after");
    EXPECT_TRUE(other != nullptr && other != INVALID_HANDLE_VALUE && event != nullptr);
    EXPECT_TRUE(CloseHandle(other) && CloseHandle(event));
    (void)!write(done[1], &byte, 1);
    int status = 0;
    EXPECT_EQ(waitpid(holder, &status, 0), holder);
    HANDLE mine = CreateMutexA(nullptr, TRUE, name.c_str());
    EXPECT_TRUE(mine != nullptr && mine != INVALID_HANDLE_VALUE) << "the lock file stayed held";
    EXPECT_TRUE(CloseHandle(mine));
}
