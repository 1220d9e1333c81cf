// Semaphores: counts, polling waits, names, the fixed table and its limits.
#include <windows.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
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

TEST(Semaphores, SameNameIgnoringCaseGivesSameSemaphore) {
    HANDLE a = CreateSemaphoreA(nullptr, 2, 5, "Alpha");
    ASSERT_NE(INVALID_HANDLE_VALUE, a);
    SetLastError(0);
    HANDLE b = CreateSemaphoreA(nullptr, 0, 1, "ALPHA");  // counts of a later create are ignored
    EXPECT_EQ(a, b);
    EXPECT_EQ(183u, GetLastError());
    EXPECT_EQ(2, Available(a));
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_EQ(2, Available(a));  // one reference left: still live
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_FALSE(CloseHandle(a));  // freed
    EXPECT_FALSE(ReleaseSemaphore(a, 1, nullptr));
}

TEST(Semaphores, UnnamedSemaphoresNeverMatch) {
    HANDLE a = CreateSemaphoreA(nullptr, 0, 1, nullptr);
    HANDLE b = CreateSemaphoreA(nullptr, 0, 1, nullptr);
    HANDLE c = CreateSemaphoreA(nullptr, 0, 1, "");
    EXPECT_NE(a, b);
    EXPECT_NE(b, c);
    EXPECT_NE(a, c);
    ReleaseSemaphore(a, 1, nullptr);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(b, 0));
    for (HANDLE h : {a, b, c}) EXPECT_TRUE(CloseHandle(h));
}

TEST(Semaphores, ZeroTimeOutTriesOnceWithoutSleeping) {
    HANDLE s = CreateSemaphoreA(nullptr, 0, 3, nullptr);
    long long start = tvxtest::NowMs();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(s, 0));
    EXPECT_LT(tvxtest::NowMs() - start, 200);
    CloseHandle(s);
}

TEST(Semaphores, ReleaseDuringTimedWaitIsSeenAtNextTry) {
    HANDLE s = CreateSemaphoreA(nullptr, 0, 3, nullptr);
    std::thread releaser([s] {
        usleep(200000);
        ReleaseSemaphore(s, 1, nullptr);
    });
    long long start = tvxtest::NowMs();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(s, 1500));
    long long took = tvxtest::NowMs() - start;
    releaser.join();
    EXPECT_GE(took, 150);
    EXPECT_LT(took, 2500);
    // Nothing released: the whole time-out passes, then 258.
    start = tvxtest::NowMs();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(s, 1300));
    took = tvxtest::NowMs() - start;
    EXPECT_GE(took, 1250);
    EXPECT_LT(took, 4000);
    CloseHandle(s);
}

TEST(Semaphores, ReleaseReportsPreviousCountAndMayExceedMaximum) {
    HANDLE s = CreateSemaphoreA(nullptr, 1, 2, nullptr);
    LONG previous = -1;
    EXPECT_TRUE(ReleaseSemaphore(s, 3, &previous));
    EXPECT_EQ(1, previous);
    EXPECT_EQ(4, Available(s));
    EXPECT_TRUE(ReleaseSemaphore(s, 0, &previous));
    EXPECT_EQ(4, previous);
    EXPECT_FALSE(ReleaseSemaphore(s, -1, nullptr));
    EXPECT_EQ(4, Available(s));
    CloseHandle(s);
}

TEST(Semaphores, InfiniteWaitBlocksUntilRelease) {
    HANDLE s = CreateSemaphoreA(nullptr, 0, 10, nullptr);
    std::atomic<int> done{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (WaitForSingleObject(s, INFINITE) == WAIT_OBJECT_0) done.fetch_add(1);
        });
    usleep(100000);
    EXPECT_EQ(0, done.load());
    ReleaseSemaphore(s, 2, nullptr);
    for (int i = 0; i < 5000 && done.load() < 2; ++i) usleep(1000);
    usleep(100000);
    EXPECT_EQ(2, done.load());
    ReleaseSemaphore(s, 1, nullptr);
    for (std::thread& t : waiters) t.join();
    EXPECT_EQ(3, done.load());
    CloseHandle(s);
}

TEST(Semaphores, LastCloseLetsBlockedWaitersGo) {
    HANDLE s = CreateSemaphoreA(nullptr, 0, 1, "closing");
    std::atomic<int> finished{0};
    std::atomic<DWORD> results[2] = {0, 0};
    std::thread infinite([&] {
        results[0] = WaitForSingleObject(s, INFINITE);
        finished.fetch_add(1);
    });
    std::thread polling([&] {
        results[1] = WaitForSingleObject(s, 30000);
        finished.fetch_add(1);
    });
    usleep(200000);
    long long start = tvxtest::NowMs();
    EXPECT_TRUE(CloseHandle(s));
    infinite.join();
    polling.join();
    EXPECT_LT(tvxtest::NowMs() - start, 5000);
    EXPECT_EQ(128u, results[0].load());  // no unit was obtained
    EXPECT_EQ(128u, results[1].load());
    EXPECT_FALSE(ReleaseSemaphore(s, 1, nullptr));
    EXPECT_EQ(128u, WaitForSingleObject(s, 0));
}

TEST(Semaphores, NameBehindAFreeSlotIsStillFound) {
    HANDLE first = CreateSemaphoreA(nullptr, 0, 1, "first");
    HANDLE second = CreateSemaphoreA(nullptr, 0, 1, "second");
    ASSERT_LT(tarvex::handle_index(tarvex::handle_value(first)),
              tarvex::handle_index(tarvex::handle_value(second)));
    EXPECT_TRUE(CloseHandle(first));
    // The live "second" is the one meant, not a new one in the freed lower slot.
    EXPECT_EQ(second, CreateSemaphoreA(nullptr, 0, 1, "SECOND"));
    ReleaseSemaphore(second, 1, nullptr);
    CloseHandle(second);
    EXPECT_EQ(1, Available(second));
    CloseHandle(second);
}

TEST(Semaphores, TableHolds256AndThenRefuses) {
    std::vector<HANDLE> all;
    for (int i = 0; i < 256; ++i) {
        std::string name = std::to_string(i);
        name.insert(name.begin(), 's');
        HANDLE h = CreateSemaphoreA(nullptr, 0, 1, name.c_str());
        ASSERT_NE(INVALID_HANDLE_VALUE, h) << i;
        all.push_back(h);
    }
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateSemaphoreA(nullptr, 0, 1, "one too many"));
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateSemaphoreA(nullptr, 0, 1, nullptr));
    // The second refusal repeats the first message, which the log folds into a count.
    EXPECT_EQ(1, tvxtest::CountLogMessage("CreateSemaphore: too many semaphores"));
    // A live name is still found in a full table.
    EXPECT_EQ(all[7], CreateSemaphoreA(nullptr, 0, 1, "s7"));
    EXPECT_TRUE(CloseHandle(all[7]));
    for (HANDLE h : all) EXPECT_TRUE(CloseHandle(h));
}

TEST(Semaphores, OpenNeverFindsAndBadHandlesAreRefused) {
    HANDLE s = CreateSemaphoreA(nullptr, 1, 1, "visible");
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenSemaphoreA(0, FALSE, "visible"));
    // Outside the table, the first index past its end, a free slot, the invalid value.
    for (HANDLE bad : {tarvex::make_handle(300, tarvex::kTagSemaphore),
                       tarvex::make_handle(256, tarvex::kTagSemaphore),
                       tarvex::make_handle(200, tarvex::kTagSemaphore), INVALID_HANDLE_VALUE}) {
        EXPECT_FALSE(ReleaseSemaphore(bad, 1, nullptr));
        EXPECT_EQ(128u, WaitForSemaphore(bad, 0));
        EXPECT_FALSE(CloseSemaphore(bad));
    }
    EXPECT_EQ(1, Available(s));
    CloseHandle(s);
}

TEST(Semaphores, FreeAllClearsTheTable) {
    HANDLE s = CreateSemaphoreA(nullptr, 1, 1, "gone");
    FreeAllSemaphores();
    FreeAllSemaphores();
    EXPECT_FALSE(ReleaseSemaphore(s, 1, nullptr));
    HANDLE again = CreateSemaphoreA(nullptr, 0, 1, "gone");
    EXPECT_NE(INVALID_HANDLE_VALUE, again);
    SetLastError(0);
    CreateSemaphoreA(nullptr, 0, 1, "gone");
    EXPECT_EQ(183u, GetLastError());
    EXPECT_EQ(0, InitSemaphores());
    EXPECT_EQ(128u, WaitForSingleObject(again, 0));
}

}  // namespace
