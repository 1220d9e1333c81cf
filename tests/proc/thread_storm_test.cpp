// TerminateThread at random points of loops over every kind of lock: nothing stays held.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <random>

#include "tvx_test.h"

using namespace tvxtest;

namespace {

struct Shared {
    CRITICAL_SECTION outer, inner;
    HANDLE event, semaphore;
    DWORD tls;
    long inside = 0, overlaps = 0;  // under `inner`
    std::atomic<bool> stop{false};
};
Shared g;

struct Worker {
    std::atomic<unsigned long> progress{0};
    bool survivor = false;
};

// One pass over every operation; a victim may be ended anywhere in it.
void Churn(Worker& worker, unsigned step) {
    switch (step % 7) {
        case 0:  // nested sections, one of them recursive
            EnterCriticalSection(&g.outer), EnterCriticalSection(&g.inner), EnterCriticalSection(&g.outer);
            g.overlaps += g.inside++ != 0;
            Spin(step % 200);
            --g.inside;
            LeaveCriticalSection(&g.outer), LeaveCriticalSection(&g.inner), LeaveCriticalSection(&g.outer);
            break;
        case 1:
            if (TryEnterCriticalSection(&g.inner)) LeaveCriticalSection(&g.inner);
            break;
        case 2: {  // the event table's lock
            HANDLE named = CreateEventA(nullptr, FALSE, FALSE, "storm");
            if (named != nullptr) CloseHandle(named);
            break;
        }
        case 3:  // a timed wait sleeps in a condition wait
            SetEvent(g.event), WaitForSingleObject(g.event, step % 3);
            break;
        case 4:
            ReleaseSemaphore(g.semaphore, 1, nullptr), WaitForSingleObject(g.semaphore, step % 2);
            break;
        case 5: {  // the mutex table's lock and a lock file's bucket
            HANDLE mutex = CreateMutexA(nullptr, FALSE, "storm");
            if (mutex != nullptr && mutex != INVALID_HANDLE_VALUE) CloseHandle(mutex);
            break;
        }
        case 6:
            TlsSetValue(g.tls, &worker), TlsGetValue(g.tls);
            break;
    }
}

DWORD WINAPI Work(LPVOID arg) {
    auto& worker = *static_cast<Worker*>(arg);
    for (unsigned step = 0; !(worker.survivor && g.stop.load()); ++step) {
        Churn(worker, step);
        worker.progress.fetch_add(1, std::memory_order_relaxed);
        // Survivors leave the processors mostly to the victims: two cores, many rounds.
        if (worker.survivor) usleep(200);
    }
    return 0;
}

// Polled without sleeping: ten thousand rounds cannot each pay a sleep's granularity.
bool Ended(HANDLE thread) {
    for (long long deadline = NowMs() + 30000; SetThreadPriority(thread, 0); sched_yield())
        if (NowMs() > deadline) return false;
    return true;
}

}  // namespace

TEST(TerminateStorm, NothingStaysHeldAndSurvivorsKeepGoing) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "threads ended from a signal handler are not followed by ThreadSanitizer";
#endif
    InitializeCriticalSection(&g.outer), InitializeCriticalSection(&g.inner);
    g.event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    g.semaphore = CreateSemaphoreA(nullptr, 0, 1000000, nullptr);
    g.tls = TlsAlloc();
    ASSERT_TRUE(g.event && g.semaphore && g.tls != TLS_OUT_OF_INDEXES);
    Worker survivors[2];
    HANDLE survivor_threads[2];
    for (int i = 0; i < 2; ++i) {
        survivors[i].survivor = true;
        ASSERT_NE(survivor_threads[i] = CreateThread(nullptr, 0, Work, &survivors[i], 0, nullptr), nullptr);
    }
    std::mt19937 random(12345);
    const int rounds = 10000;
    for (int round = 0; round < rounds; ++round) {
        Worker victim;
        HANDLE thread = CreateThread(nullptr, 65536, Work, &victim, 0, nullptr);
        ASSERT_NE(thread, nullptr) << "round " << round;
        const unsigned long steps = random() % 24;
        while (victim.progress.load(std::memory_order_relaxed) < steps) sched_yield();
        Spin(random() % 3000);
        ASSERT_TRUE(TerminateThread(thread, 0));
        ASSERT_TRUE(Ended(thread)) << "round " << round << ": a terminated thread never ended";
        ASSERT_TRUE(CloseHandle(thread));
    }
    for (Worker& worker : survivors)
        EXPECT_TRUE(WaitUntil([&, before = worker.progress.load()] { return worker.progress > before + 100; }));
    g.stop = true;
    for (HANDLE thread : survivor_threads) EXPECT_TRUE(Ended(thread) && CloseHandle(thread));
    EXPECT_EQ(g.overlaps, 0);
    for (CRITICAL_SECTION* section : {&g.outer, &g.inner}) {
        EXPECT_TRUE(TryEnterCriticalSection(section)) << "a section stayed owned";
        LeaveCriticalSection(section);
        EXPECT_EQ(section->waiters, 0);
    }
    EXPECT_TRUE(SetEvent(g.event));
    EXPECT_EQ(WaitForSingleObject(g.event, 0), WAIT_OBJECT_0);
    while (WaitForSingleObject(g.semaphore, 0) == WAIT_OBJECT_0) {}
    EXPECT_TRUE(ReleaseSemaphore(g.semaphore, 1, nullptr));
    EXPECT_EQ(WaitForSingleObject(g.semaphore, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(g.semaphore, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, "after-storm");
    HANDLE mutex = CreateMutexA(nullptr, TRUE, "after-storm");
    EXPECT_TRUE(event != nullptr && mutex != nullptr && mutex != INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(event) && CloseHandle(mutex));
    // A last close waits for every use of the object: one left behind would hang here.
    EXPECT_TRUE(CloseHandle(g.event) && CloseHandle(g.semaphore) && TlsFree(g.tls));
    DeleteCriticalSection(&g.outer), DeleteCriticalSection(&g.inner);
}
