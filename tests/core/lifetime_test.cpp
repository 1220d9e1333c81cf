// The object lifetime every kind shares: uses racing the last close, threads cancelled anywhere,
// the process id as a handle, and a process-wide barrier the kernel refuses.
#include <windows.h>

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "lifetime_helpers.h"
#include "tvx_test.h"

namespace {

struct Kind {
    const char* name;
    HANDLE (*create)(const char* name, int initial);  // initially signalled / `initial` units
    BOOL (*give)(HANDLE);                              // set / release one unit
    void* (*storm)(void*);
};

const Kind kKinds[] = {
    {"Event", [](const char* n, int i) { return CreateEventA(nullptr, FALSE, i, n); }, SetEvent,
     storm::EventStorm},
    {"Semaphore", [](const char* n, int i) { return CreateSemaphoreA(nullptr, i, 1 << 20, n); },
     [](HANDLE h) { return ReleaseSemaphore(h, 1, nullptr); }, storm::SemaphoreStorm},
};

void PrintTo(const Kind& kind, std::ostream* out) { *out << kind.name; }

class Lifetime : public testing::TestWithParam<Kind> {};
INSTANTIATE_TEST_SUITE_P(Kinds, Lifetime, testing::ValuesIn(kKinds),
                         [](const auto& info) { return std::string(info.param.name); });

// Before, a release or a zero wait racing the last close used a destroyed semaphore.
TEST_P(Lifetime, UsesRacingTheLastCloseNeverReachADestroyedObject) {
    const Kind& kind = GetParam();
    HANDLE handle = kind.create("racer", 0);  // every round below gets this record again
    ASSERT_TRUE(CloseHandle(handle));
    std::atomic<bool> done{false};
    std::vector<std::thread> users;
    for (DWORD timeout : {0, 0, 1})  // what they get back matters less than that they get it
        users.emplace_back([&, timeout] {
            while (!done.load()) kind.give(handle), WaitForSingleObject(handle, timeout);
        });
    for (int round = 0; round < 20000; ++round) {
        ASSERT_EQ(handle, kind.create("racer", 0));
        ASSERT_TRUE(CloseHandle(handle));
    }
    done = true;
    for (std::thread& user : users) user.join();
    EXPECT_FALSE(CloseHandle(handle));
}

// A use names its record and then reads whether it is live; the last close lowers the count and
// then looks for names. Those two orders alone keep a use out of a destroyed record.
TEST(Lifetime, LastCloseWaitsForEveryUseOfItsRecord) {
    long done[2] = {0, 0};  // each written by its own thread only
    auto user = [&done](int which, int pause) {
        return [&done, which, pause] { done[which] += uses::UseOnce(pause) ? 1 : 0; };
    };
    tvxtest::Hammer({uses::CloseAndRevive, user(0, 0), user(1, 50)}, 100000, 300);
    EXPECT_EQ(uses::TornUses(), 0) << "a use went on inside a destroyed record";
    EXPECT_GT(done[0], 100) << "too few uses met a live record";
    EXPECT_GT(done[1], 100) << "too few uses met a live record";
}

long long NowUs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

// Threads cancelled asynchronously at random points of every operation leave no count raised:
// a set still reaches the next waiter, the last close returns, and every record a create gets
// afterwards is a fresh one.
TEST_P(Lifetime, CancelledThreadsLeaveNothingBehind) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    // ThreadSanitizer does not follow cancellation; AddressSanitizer trips over the stack poison
    // of the frames that cancellation jumps past, once clean-up code runs on that stack again.
    GTEST_SKIP() << "asynchronous cancellation storms run on the plain builds";
#endif
    const Kind& kind = GetParam();
    int code = tvxtest::ChildExit([&] {
        HANDLE shared = kind.create("shared", 0);
        CreateEventIn(&storm::g_own_event, FALSE, FALSE, "own", TRUE, FALSE);
        srand(7);
        for (int round = 0; round < 10000; ++round) {
            pthread_t thread;
            if (pthread_create(&thread, nullptr, kind.storm, shared) != 0) return 1;
            long long until = NowUs() + (rand() % 4 == 0 ? rand() % 600 : rand() % 60);
            while (NowUs() < until) sched_yield();
            pthread_cancel(thread);
            pthread_join(thread, nullptr);
        }
        while (WaitForSingleObject(shared, 1) == WAIT_OBJECT_0) {
        }
        if (!kind.give(shared) || WaitForSingleObject(shared, 2000) != WAIT_OBJECT_0) return 2;
        if (storm::g_own_event.waiters != 0 || storm::g_own_event.tokens != 0) return 3;
        if (!CloseHandle(shared) || !CloseEventIn(&storm::g_own_event)) return 4;
        std::vector<HANDLE> fresh;
        for (HANDLE h; (h = kind.create(nullptr, 0)) != INVALID_HANDLE_VALUE;) {
            if (GetLastError() == ERROR_ALREADY_EXISTS || WaitForSingleObject(h, 0) != WAIT_TIMEOUT)
                return 5;
            fresh.push_back(h);
        }
        if (fresh.size() < 200) return 6;  // a lost handle may keep its record; not many can
        for (HANDLE h : fresh)
            if (!CloseHandle(h)) return 7;
        return 0;
    }, 150);
    EXPECT_EQ(0, code);
}

// A server that is process 1 (as in a container) owns handle 1, its first semaphore.
TEST(Lifetime, ProcessOneWaitsForAndClosesItsFirstSemaphore) {
    if (geteuid() != 0) GTEST_SKIP() << "a new PID namespace needs root";
    int code = tvxtest::ChildExit([] {
        if (unshare(CLONE_NEWPID) != 0) return 77;
        pid_t first = fork();
        if (first == 0) {
            HANDLE s = CreateSemaphoreA(nullptr, 1, 1, nullptr);
            bool ok = getpid() == 1 && reinterpret_cast<intptr_t>(s) == 1 &&
                      WaitForSingleObject(s, 0) == WAIT_OBJECT_0 &&
                      WaitForSingleObject(s, 0) == WAIT_TIMEOUT && CloseHandle(s) &&
                      WaitForSingleObject(s, 0) == 128 &&  // now only the process
                      CreateSemaphoreA(nullptr, 0, 1, nullptr) == s &&
                      WaitForSingleObject(s, 0) == WAIT_TIMEOUT;
            _exit(ok ? 0 : 1);
        }
        int child = 0;
        return waitpid(first, &child, 0) == first ? tvxtest::ExitCodeOf(child) : 2;
    });
    if (code == 77) GTEST_SKIP() << "no new PID namespace here";
    EXPECT_EQ(0, code);
}

// While g_refuse_barrier is set, the process-wide barrier reports failure; every call is counted.
std::atomic<int> g_refuse_barrier{0}, g_barrier_calls{0};
void CountBarrier(const void* result) {
    g_barrier_calls.fetch_add(1);
    if (g_refuse_barrier.load()) *static_cast<int*>(const_cast<void*>(result)) = -1;
}

// Once the kernel refuses the barrier, releases are fenced and the kernel is not asked again;
// a section reserved before goes on excluding its threads.
TEST(Lifetime, RefusedBarrierFallsBackToFencedReleases) {
    tvxtest::OnHook("barrier-result", CountBarrier);
    int code = tvxtest::ChildExit([] {
        CRITICAL_SECTION section;
        InitializeCriticalSection(&section);
        long total = 0;
        auto work = [&](int rounds) {
            for (int i = 0; i < rounds; ++i) {
                EnterCriticalSection(&section);
                total = total + 1;
                LeaveCriticalSection(&section);
            }
        };
        work(1000);  // reserved for this thread, where the barrier exists
        int calls_before = g_barrier_calls.load();
        g_refuse_barrier = 1;
        std::thread other(work, 300000);
        work(300000);
        other.join();
        DeleteCriticalSection(&section);
        if (total != 601000) return 1;
        // Each of the two threads may have been on its way to the kernel when it first refused.
        return g_barrier_calls.load() <= calls_before + 2 ? 0 : 2;
    });
    EXPECT_EQ(0, code);
}

}  // namespace
