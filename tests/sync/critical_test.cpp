// Critical sections: recursion, exclusion, waking waiters, stray leaves, owners not ended.
#include <gtest/gtest.h>
#include <sched.h>

#include <thread>

#include "critical_threads.h"
#include "tvx_test.h"

using namespace tvxtest;

struct Section : CRITICAL_SECTION {
    Section() { InitializeCriticalSection(this); } ~Section() { DeleteCriticalSection(this); }
};
static LONG Waiters(const CRITICAL_SECTION& s) { return __atomic_load_n(&s.waiters, __ATOMIC_SEQ_CST); }

// Whether another thread's TryEnter gets in.
static const BOOL kMine = FALSE, kFree = TRUE;
static BOOL Seen(CRITICAL_SECTION* s) {
    BOOL in = -1;
    std::thread([&] { if ((in = TryEnterCriticalSection(s))) LeaveCriticalSection(s); }).join();
    return in;
}

static pthread_t Start(Script* script) {
    pthread_t thread{};
    EXPECT_EQ(pthread_create(&thread, nullptr, RunScript, script), 0);
    return thread;
}
static bool Joined(pthread_t thread, void** result = nullptr) {
    return WaitUntil([&] { return pthread_tryjoin_np(thread, result) == 0; }, 30000);
}
// A thread of CreateThread running `script`; its handle stays open so that its end shows.
static HANDLE StartTerminable(Script* script) {
    HANDLE thread = CreateThread(nullptr, 0, RunScriptThread, script, 0, nullptr);
    EXPECT_NE(thread, nullptr);
    return thread;
}
static bool Ended(Script& script) { return WaitUntil([&] { return script.ended.load(); }, 30000); }

// Enter and TryEnter (depth < 0) nest alike, also with another section held.
TEST(CriticalSection, EveryEntryNeedsItsOwnLeave) {
    Section other;
    for (int depth : {1, 2, 5, -1, -2, -5}) {
        Section s;
        if (abs(depth) == 2) EnterCriticalSection(&other);
        for (int i = 0; i < abs(depth); ++i)
            EXPECT_TRUE(depth < 0 ? TryEnterCriticalSection(&s) : (EnterCriticalSection(&s), 1));
        for (int i = 0; i < abs(depth); LeaveCriticalSection(&s), ++i)
            EXPECT_EQ(Seen(&s), kMine) << "depth " << depth << " after " << i << " leaves";
        EXPECT_EQ(Seen(&s), kFree) << "depth " << depth;
        if (abs(depth) == 2) LeaveCriticalSection(&other);
    }
}

// Threads entering three ways add to a plain counter with a wide window: overlaps lose increments.
TEST(CriticalSection, ThreadsInsideAreMutuallyExclusive) {
    Section s;
    long counter = 0, overlaps = 0, inside = 0;
    auto work_and_leave = [&] {
        overlaps += inside++ != 0;
        const long seen = counter;
        sched_yield();
        counter = seen + 1, --inside, LeaveCriticalSection(&s);
    };
    const std::vector<long> rounds = Hammer({[&] { EnterCriticalSection(&s), work_and_leave(); },
        [&] { EnterCriticalSection(&s), EnterCriticalSection(&s), work_and_leave(), work_and_leave(); },
        [&] { while (!TryEnterCriticalSection(&s)) sched_yield(); work_and_leave(); }}, 20000);
    EXPECT_EQ(counter, rounds[0] + 2 * rounds[1] + rounds[2]);
    EXPECT_TRUE(overlaps == 0 && Waiters(s) == 0 && Seen(&s) == kFree);
}

// A terminated owner (got in by blocking) runs until its second leave; strays by its former owner do nothing.
TEST(CriticalSection, OwnerIsNotTerminatedUntilItHasLeftCompletely) {
    Section s;
    EnterCriticalSection(&s);
    Script owner{.section = &s, .entries = 2};
    HANDLE thread = StartTerminable(&owner);
    ASSERT_TRUE(WaitUntil([&] { return Waiters(s) == 1; }));
    LeaveCriticalSection(&s);
    ASSERT_TRUE(WaitUntil([&] { return owner.inside.load() == 1; }));
    ASSERT_TRUE(TerminateThread(thread, 0));
    for (int leaves = 0; leaves < 2; owner.leaves_requested.store(++leaves)) {
        ASSERT_TRUE(WaitUntil([&] { return owner.leaves_done.load() == leaves; }));
        EXPECT_TRUE(WaitUntil([&, before = owner.progress.load()] { return owner.progress > before + 20; }));
        EXPECT_FALSE(owner.ended.load()) << "ended after " << leaves;
        InitializeCriticalSection(nullptr), EnterCriticalSection(nullptr), DeleteCriticalSection(nullptr);
        EXPECT_FALSE(TryEnterCriticalSection(nullptr) || TryEnterCriticalSection(&s));
        LeaveCriticalSection(&s), LeaveCriticalSection(&s), LeaveCriticalSection(nullptr);
        EXPECT_EQ(Seen(&s), kMine) << "after " << leaves << " leaves";
    }
    ASSERT_TRUE(Ended(owner)) << "the termination never took effect";
    EXPECT_EQ(Seen(&s), kFree) << "it died before giving the section back";
    EXPECT_TRUE(CloseHandle(thread));
}

// Only a nested hold's final leave admits waiters; a waiter ended while it waits (cancelled
// asynchronously by its host, or terminated), reserved section or not, breaks nothing.
TEST(CriticalSection, OnlyTheFinalLeaveWakesWaitersAndAnEndedOneBreaksNothing) {
    enum End { kAsynchronous, kTerminated };
    for (End end : {kAsynchronous, kTerminated}) for (bool reserved : {false, true}) {
#if defined(__SANITIZE_THREAD__)
        // ThreadSanitizer holds a signal back while its target sleeps in a raw futex call.
        if (end == kTerminated) continue;
#endif
        SCOPED_TRACE(testing::Message() << "end " << end << ", reserved " << reserved);
        Section s;
        if (reserved) EnterCriticalSection(&s), LeaveCriticalSection(&s);
        EnterCriticalSection(&s), EnterCriticalSection(&s);
        Script waiter[4];  // the first is ended, the others wait to be let in
        pthread_t threads[4];
        HANDLE first = nullptr;
        for (int i = 0; i < 4; ++i) {
            waiter[i].section = &s, waiter[i].asynchronous = end == kAsynchronous && i == 0;
            waiter[i].leaves_requested = i > 0;
            if (i == 0 && end == kTerminated) first = StartTerminable(&waiter[0]);
            else threads[i] = Start(&waiter[i]);
            ASSERT_TRUE(WaitUntil([&] { return Waiters(s) == i + 1; }));
        }
        if (end == kTerminated) ASSERT_TRUE(TerminateThread(first, 0) && Ended(waiter[0])) << "a blocked waiter was not ended";
        else ASSERT_TRUE(pthread_cancel(threads[0]) == 0 && Joined(threads[0])) << "a blocked waiter ignored cancellation";
        EXPECT_TRUE(waiter[0].ended && waiter[0].inside == 0);
        EXPECT_TRUE(WaitUntil([&] { return Waiters(s) == 3; })) << "the ended waiter is still counted";
        LeaveCriticalSection(&s);
        auto in = [&] { return waiter[1].inside + waiter[2].inside + waiter[3].inside > 0; };
        EXPECT_FALSE(WaitUntil(in, 200)) << "a non-final leave let a waiter in";  // may miss, never lies
        EXPECT_EQ(Seen(&s), kMine);
        LeaveCriticalSection(&s);
        void* result = nullptr;
        for (int i = 1; i < 4; ++i)  // let in, each in turn
            EXPECT_TRUE(Joined(threads[i], &result) && !result && waiter[i].inside == 1) << i;
        EXPECT_TRUE(Waiters(s) == 0 && Seen(&s) == kFree);
        if (first != nullptr) { EXPECT_TRUE(CloseHandle(first)); }
    }
}

// A waiter counted as the owner leaves must be let in by that leave; rerun with fenced leaves too.
TEST(CriticalSection, AHandOffNeverStrandsTheWaiter) {
    static CRITICAL_SECTION s;  // never deleted: it outlives a waiter that PlayRounds strands
    InitializeCriticalSection(&s);
    ASSERT_EQ(PlayRounds(60000,
        [&](int round, const Go& go) {
            EnterCriticalSection(&s), go();
            if (round % 4 != 0) Spin(round % 300);  // meet it as it counts itself, or asleep
            else for (int spin = round % 64; spin > 0; --spin) sched_yield();
            LeaveCriticalSection(&s);
        },
        [&](int) { EnterCriticalSection(&s), LeaveCriticalSection(&s); }), 0)
        << "a waiter slept through the leave that freed the section";
    EXPECT_EQ(Waiters(s), 0);
    if (getenv("TVX_TEST_FENCED") != nullptr) EXPECT_EQ(BarrierMode(), 0) << "the fenced run was not fenced";
    else EXPECT_TRUE(RerunThisTest("TVX_TEST_FENCED")) << "the fenced run failed";
}

// The first other thread revokes a one-thread reservation racing its holder: no overlap, none stranded.
TEST(CriticalSection, RevokingAReservationRacesSafelyWithItsHolder) {
    CRITICAL_SECTION s;
    std::atomic<int> inside{0}, overlaps{0};
    auto visit = [&] {
        overlaps += inside.fetch_add(1) != 0;
        sched_yield();
        inside.fetch_sub(1), LeaveCriticalSection(&s);
    };
    ASSERT_EQ(PlayRounds(5000,
        [&](int round, const Go& go) {
            InitializeCriticalSection(&s), EnterCriticalSection(&s), LeaveCriticalSection(&s);  // reserved
            go(), Spin(round * 11 % 400);
            EnterCriticalSection(&s), visit();
        },
        [&](int round) {
            Spin(round * 37 % 400);
            if (round % 2 == 0) EnterCriticalSection(&s);
            else while (!TryEnterCriticalSection(&s)) sched_yield();
            visit();
        },
        [&](int) {
            EnterCriticalSection(&s);
            EXPECT_EQ(Seen(&s), kMine);
            LeaveCriticalSection(&s);
            EXPECT_TRUE(Waiters(s) == 0 && Seen(&s) == kFree);
            DeleteCriticalSection(&s);
        }), 0) << "the other thread never got in";
    EXPECT_EQ(overlaps.load(), 0);
}
