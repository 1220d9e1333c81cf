// The cancellation-safe lock helper: a thread cancelled while it holds a lock gives it back, and a
// table lock excludes and wakes its sleepers.
#include <windows.h>

#include <gtest/gtest.h>
#include <sched.h>

#include "core/lock.h"
#include "lock_holders.h"
#include "tvx_test.h"

using namespace lockholders;

// ThreadSanitizer does not follow glibc's cancellation unwinding (it misses the unlock done by the
// clean-up handler and reports a double lock); the other builds run these tests.
#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_TSAN() GTEST_SKIP() << "thread cancellation is not followed by ThreadSanitizer"
#else
#define SKIP_UNDER_TSAN() (void)0
#endif

// Each round cancels a holder once it holds (a churning one after a varying while, so that the
// cancellation lands elsewhere in its loop): the lock is free after, not leaked nor left with a
// sleeper nobody wakes. A mutex section defers an asynchronous cancellation to its end (glibc's
// mutex code is not safe for it): the holder still holds until it ends the section.
TEST(LockHelper, ReleasedWhenTheHolderIsCancelled) {
    SKIP_UNDER_TSAN();
    const struct { How how; int rounds; } cases[] = {{kMutexAsleep, 1}, {kMutexSpinning, 20},
        {kTableAsleep, 1}, {kTableSpinning, 20}, {kTableChurning, 200}};
    for (const auto& c : cases)
        for (int round = 0; round < c.rounds; ++round) {
            pthread_t thread;
            void* result = nullptr;
            g_holding = 0;
            ASSERT_EQ(pthread_create(&thread, nullptr, Hold, reinterpret_cast<void*>(c.how)), 0);
            ASSERT_TRUE(tvxtest::WaitUntil([] { return g_holding == 1; }));
            if (c.how == kTableChurning) usleep(round % 7 * 100);
            else EXPECT_FALSE(IsFree(c.how)) << c.how;
            ASSERT_EQ(pthread_cancel(thread), 0);
            if (c.how == kMutexSpinning) {
                usleep(1000);
                EXPECT_FALSE(IsFree(c.how)) << "cancelled inside the mutex section";
                g_holding = 2;
            }
            ASSERT_EQ(pthread_join(thread, &result), 0);
            EXPECT_EQ(result, PTHREAD_CANCELED);
            ASSERT_TRUE(IsFree(c.how)) << "holder " << c.how << ", round " << round;
        }
}

TEST(LockHelper, TableLockExcludes) {
    static tarvex::TableLock lock;
    long counter = 0;
    auto add = [&] { tarvex::with_lock(lock, [&] { counter = counter + 1; }); };
    const std::vector<long> rounds = tvxtest::Hammer({add, add, add, add});
    EXPECT_EQ(counter, rounds[0] + rounds[1] + rounds[2] + rounds[3]);
    EXPECT_TRUE(lock.word == 0 && lock.sleepers == 0);
}

// A thread that goes to sleep on a table lock just as its holder releases it must be woken by
// that release: nobody else will come. The holder keeps the lock for a varying while, so the other
// thread meets it spinning, counting itself as a sleeper, or asleep; it must get in every round.
static void HandOffTableLock() {
    static tarvex::TableLock lock;
    ASSERT_EQ(tvxtest::PlayRounds(20000,
        [](int round, const tvxtest::Go& go) {
            tarvex::with_lock(lock, [&] {
                go();
                if (round % 4 != 0) tvxtest::Spin(round % 300);
                else for (int i = round % 97; i > 0; --i) sched_yield();
            });
        },
        [](int) { tarvex::with_lock(lock, [] {}); }), 0) << "a sleeper missed its release";
    EXPECT_EQ(__atomic_load_n(&lock.sleepers, __ATOMIC_SEQ_CST), 0u);
}

// With the kernel's process-wide barrier where there is one, and then without it.
TEST(LockHelper, TableLockReleaseWakesAThreadGoingToSleep) { HandOffTableLock(); }

TEST(LockHelper, TableLockReleaseWakesAThreadGoingToSleepWithoutTheBarrier) {
    if (getenv("TVX_TEST_FENCED") == nullptr)
        EXPECT_TRUE(tvxtest::RerunThisTest("TVX_TEST_FENCED")) << "the fenced run failed";
    else if (tvxtest::BarrierMode() != 0)
        FAIL() << "the fenced run did not get fenced releases";
    else
        HandOffTableLock();
}

// A thread stopped inside UnixLog, holding the log's lock, is cancelled: the next message from
// another thread still gets through (in a child, so that a hang is caught).
TEST(LockHelper, LibraryLogLockReleasedWhenHolderCancelled) {
    const std::string after = tvxtest::UniqueName("after");
    EXPECT_EQ(tvxtest::ChildExit([&] {
        pthread_t thread;
        void* result = nullptr;
        tvxtest::OnHook("log-locked", tvxtest::SpinForever);
        pthread_create(&thread, nullptr, [](void*) -> void* {
            pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
            return UnixLog("held while cancelled"), nullptr;
        }, nullptr);
        if (!tvxtest::WaitUntil([] { return tvxtest::HookSpinners() == 1; })) return 2;
        if (pthread_cancel(thread) || pthread_join(thread, &result) || result != PTHREAD_CANCELED) return 3;
        tvxtest::OnHook("log-locked", nullptr);
        UnixLog("%s", after.c_str());
        return tvxtest::CountLogMessage(after) == 1 ? 0 : 4;
    }), 0);
}
