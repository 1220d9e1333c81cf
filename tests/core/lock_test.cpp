// The lock helper: a cancelled holder gives its lock back; a table lock excludes and wakes sleepers.
#include <windows.h>

#include <gtest/gtest.h>
#include <sched.h>

#include "core/lock.h"
#include "lock_holders.h"
#include "tvx_test.h"

using namespace lockholders;
using namespace tvxtest;

// Each round cancels a holder once it holds (a churning one after a varying while): the lock is
// free after, without a sleeper nobody wakes. A mutex section defers an asynchronous cancellation
// to its end (glibc's mutex code is not safe for it): the holder still holds until it ends it.
TEST(LockHelper, ReleasedWhenTheHolderIsCancelled) {
#if defined(__SANITIZE_THREAD__)  // it misses the clean-up handler's unlock and sees a double lock
    GTEST_SKIP() << "thread cancellation is not followed by ThreadSanitizer";
#endif
    const struct { How how; int rounds; } cases[] = {{kMutexAsleep, 1}, {kMutexSpinning, 20},
        {kTableAsleep, 1}, {kTableSpinning, 20}, {kTableChurning, 200}};
    for (const auto& c : cases)
        for (int round = 0; round < c.rounds; ++round) {
            pthread_t thread;
            void* result = nullptr;
            g_holding = 0;
            ASSERT_EQ(pthread_create(&thread, nullptr, Hold, reinterpret_cast<void*>(c.how)), 0);
            ASSERT_TRUE(WaitUntil([] { return g_holding == 1; }));
            if (c.how == kTableChurning) usleep(round % 7 * 100);
            else EXPECT_FALSE(IsFree(c.how)) << c.how;
            ASSERT_EQ(pthread_cancel(thread), 0);
            if (c.how == kMutexSpinning) {  // a bounded look: it can miss, never fail falsely
                usleep(1000);
                EXPECT_FALSE(IsFree(c.how)) << "cancelled inside the mutex section";
                g_holding = 2;
            }
            ASSERT_TRUE(pthread_join(thread, &result) == 0 && result == PTHREAD_CANCELED);
            ASSERT_TRUE(IsFree(c.how)) << "holder " << c.how << ", round " << round;
        }
}

// Threads count under a table lock; then one going to sleep just as the holder releases it must be
// woken by that release, met spinning, counting itself a sleeper, or asleep. Run with the kernel's
// barrier where there is one, then in a copy of this program with fenced releases.
TEST(LockHelper, TableLockExcludesAndItsReleaseWakesAThreadGoingToSleep) {
    static tarvex::TableLock lock;  // outlives a stranded sleeper that PlayRounds leaves behind
    long counter = 0;
    auto add = [&] { tarvex::with_lock(lock, [&] { counter = counter + 1; }); };
    const std::vector<long> rounds = Hammer({add, add, add, add});
    EXPECT_EQ(counter, rounds[0] + rounds[1] + rounds[2] + rounds[3]);
    ASSERT_EQ(PlayRounds(20000,
        [](int round, const Go& go) {
            tarvex::with_lock(lock, [&] {
                go();
                if (round % 4 != 0) Spin(round % 300);
                else for (int i = round % 97; i > 0; --i) sched_yield();
            });
        },
        [](int) { tarvex::with_lock(lock, [] {}); }), 0) << "a sleeper missed its release";
    EXPECT_TRUE(lock.word == 0 && lock.sleepers == 0);
    if (getenv("TVX_TEST_FENCED") != nullptr) EXPECT_EQ(BarrierMode(), 0) << "the fenced run was not fenced";
    else EXPECT_TRUE(RerunThisTest("TVX_TEST_FENCED")) << "the fenced run failed";
}

// A thread stopped inside UnixLog, holding the log's lock, is cancelled: the next message from
// another thread still gets through (in a child, so that a hang is caught).
TEST(LockHelper, LibraryLogLockReleasedWhenHolderCancelled) {
    const std::string after = UniqueName("after");
    EXPECT_EQ(ChildExit([&] {
        pthread_t thread;
        OnHook("log-locked", SpinForever);
        pthread_create(&thread, nullptr, [](void*) -> void* {
            pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
            return UnixLog("held while cancelled"), nullptr;
        }, nullptr);
        if (!WaitUntil([] { return HookSpinners() == 1; })) return 2;
        if (pthread_cancel(thread) || pthread_join(thread, nullptr)) return 3;
        OnHook("log-locked", nullptr);
        UnixLog("%s", after.c_str());
        return CountLogMessage(after) == 1 ? 0 : 4;
    }), 0);
}
