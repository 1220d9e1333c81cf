// Semaphores: counts, polling waits, names, the fixed table and its limits.
#include <windows.h>

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/handle.h"
#include "tvx_test.h"

namespace {

// How many units are available, found by taking them all and giving them back.
int Available(HANDLE s) {
    int n = 0;
    while (WaitForSingleObject(s, 0) == WAIT_OBJECT_0) ++n;
    if (n > 0) ReleaseSemaphore(s, n, nullptr);
    return n;
}

TEST(Semaphores, NamesIgnoreCaseAndAreFoundAnywhereInTheTable) {
    HANDLE first = CreateSemaphoreA(nullptr, 0, 1, "first");
    HANDLE a = CreateSemaphoreA(nullptr, 2, 5, "Alpha");
    HANDLE unnamed[] = {CreateSemaphoreA(nullptr, 0, 1, nullptr), CreateSemaphoreA(nullptr, 0, 1, "")};
    EXPECT_NE(unnamed[0], unnamed[1]);  // unnamed semaphores never match
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenSemaphoreA(0, FALSE, "Alpha"));
    EXPECT_TRUE(CloseHandle(first));
    // The live name behind the freed lower slot is the one meant; the counts are ignored.
    SetLastError(0);
    EXPECT_EQ(a, CreateSemaphoreA(nullptr, 0, 1, "ALPHA"));
    EXPECT_EQ(183u, GetLastError());
    EXPECT_EQ(2, Available(a));
    EXPECT_EQ(first, CreateSemaphoreA(nullptr, 0, 1, "beta"));  // the lowest free slot
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_EQ(2, Available(a));  // one reference left: still live
    EXPECT_TRUE(CloseHandle(a) && !CloseHandle(a));
    for (HANDLE h : {first, unnamed[0], unnamed[1]}) EXPECT_TRUE(CloseHandle(h));
}

TEST(Semaphores, TimedWaitPollsInSecondSteps) {
    HANDLE s = CreateSemaphoreA(nullptr, 0, 3, nullptr);
    long long start = tvxtest::NowMs();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(s, 0));  // one try, no sleep
    EXPECT_LT(tvxtest::NowMs() - start, 200);
    std::thread releaser([s] {
        usleep(200000);
        ReleaseSemaphore(s, 1, nullptr);
    });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(s, 30000));  // seen at the next try
    releaser.join();
    start = tvxtest::NowMs();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(s, 1300));
    EXPECT_GE(tvxtest::NowMs() - start, 1250);
    CloseHandle(s);
}

TEST(Semaphores, ReleaseReportsPreviousCountAndMayExceedMaximum) {
    HANDLE s = CreateSemaphoreA(nullptr, 1, 2, nullptr);
    LONG previous = -1;
    EXPECT_TRUE(ReleaseSemaphore(s, 3, &previous) && previous == 1);
    EXPECT_EQ(4, Available(s));
    EXPECT_FALSE(ReleaseSemaphore(s, -1, nullptr));
    EXPECT_EQ(4, Available(s));
    CloseHandle(s);
}

// Blocked waiters (infinite and polling) take released units; the last close lets the rest go
// with 128, having obtained nothing.
TEST(Semaphores, WaitersTakeUnitsAndTheLastCloseLetsTheRestGo) {
    HANDLE s = CreateSemaphoreA(nullptr, 0, 10, "closing");
    std::atomic<int> done{0}, abandoned{0};
    std::vector<std::thread> waiters;
    for (DWORD timeout : {INFINITE, INFINITE, 30000u, 30000u})
        waiters.emplace_back([&, timeout] {
            DWORD r = WaitForSingleObject(s, timeout);
            (r == WAIT_OBJECT_0 ? done : abandoned).fetch_add(1);
        });
    ReleaseSemaphore(s, 2, nullptr);
    EXPECT_TRUE(tvxtest::WaitUntil([&] { return done.load() == 2; }));
    usleep(100000);  // no third waiter may follow the two units
    EXPECT_EQ(2, done.load());
    EXPECT_TRUE(CloseHandle(s));
    for (std::thread& t : waiters) t.join();
    EXPECT_EQ(2, abandoned.load());
    EXPECT_FALSE(ReleaseSemaphore(s, 1, nullptr));
}

TEST(Semaphores, TableHolds256AndThenRefuses) {
    std::vector<HANDLE> all;
    for (int i = 0; i < 256; ++i) {
        char name[16];
        snprintf(name, sizeof name, "s%d", i);
        all.push_back(CreateSemaphoreA(nullptr, 0, 1, name));
        ASSERT_NE(INVALID_HANDLE_VALUE, all.back()) << i;
    }
    for (const char* name : {"one too many", static_cast<const char*>(nullptr)})
        EXPECT_EQ(INVALID_HANDLE_VALUE, CreateSemaphoreA(nullptr, 0, 1, name));
    EXPECT_EQ(1, tvxtest::CountLogMessage("CreateSemaphore: too many semaphores"));  // folded
    EXPECT_EQ(all[7], CreateSemaphoreA(nullptr, 0, 1, "s7"));  // a live name is still found
    EXPECT_TRUE(CloseHandle(all[7]));
    for (HANDLE h : all) EXPECT_TRUE(CloseHandle(h));
}

TEST(Semaphores, HandlesThatNameNoSemaphoreAreRefused) {
    HANDLE s = CreateSemaphoreA(nullptr, 1, 1, nullptr);
    // Outside the table, the first index past its end, a free slot, the invalid value.
    for (HANDLE bad : {tarvex::make_handle(300, tarvex::kTagSemaphore),
                       tarvex::make_handle(256, tarvex::kTagSemaphore),
                       tarvex::make_handle(200, tarvex::kTagSemaphore), INVALID_HANDLE_VALUE}) {
        EXPECT_FALSE(ReleaseSemaphore(bad, 1, nullptr) || CloseSemaphore(bad));
        EXPECT_EQ(128u, WaitForSemaphore(bad, 0));
    }
    EXPECT_EQ(1, Available(s));
    CloseHandle(s);
}

TEST(Semaphores, FreeAllClearsTheTable) {
    HANDLE s = CreateSemaphoreA(nullptr, 1, 1, "gone");
    FreeAllSemaphores();
    FreeAllSemaphores();  // a second release is harmless
    EXPECT_FALSE(ReleaseSemaphore(s, 1, nullptr));
    HANDLE again = CreateSemaphoreA(nullptr, 0, 1, "gone");
    ASSERT_NE(INVALID_HANDLE_VALUE, again);
    EXPECT_EQ(0, InitSemaphores());
    EXPECT_EQ(128u, WaitForSingleObject(again, 0));
}

}  // namespace
