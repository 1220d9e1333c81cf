// Critical sections: recursion, exclusion between threads, waking waiters, stray leaves, and the
// rule that a thread owning a section cannot be cancelled.
#include <tarvex/sync.h>

#include <gtest/gtest.h>
#include <sched.h>

#include <thread>

#include "critical_threads.h"
#include "tvx_test.h"

using tvxtest::Script;
using tvxtest::Spin;
using tvxtest::WaitUntil;

static LONG Waiters(const CRITICAL_SECTION& s) { return __atomic_load_n(&s.waiters, __ATOMIC_SEQ_CST); }

static int CancelState() {
    int state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
    return pthread_setcancelstate(state, nullptr), state;
}

// What the calling thread sees of `s`: whether another thread's TryEnter gets in (and leaves
// again), and its own cancellation state, which owning a section disables.
using View = std::pair<BOOL, int>;
static const View kMine{FALSE, PTHREAD_CANCEL_DISABLE}, kOthers{FALSE, PTHREAD_CANCEL_ENABLE},
    kFree{TRUE, PTHREAD_CANCEL_ENABLE};
static View Seen(CRITICAL_SECTION* s) {
    BOOL in = -1;
    std::thread([&] { if ((in = TryEnterCriticalSection(s))) LeaveCriticalSection(s); }).join();
    return {in, CancelState()};
}

static pthread_t Start(Script* script) {
    pthread_t thread{};
    EXPECT_EQ(pthread_create(&thread, nullptr, tvxtest::RunScript, script), 0);
    return thread;
}

static bool Joined(pthread_t thread, void** result = nullptr) {
    return WaitUntil([&] { return pthread_tryjoin_np(thread, result) == 0; }, 30000);
}

// Entries by Enter and by TryEnter (negative depths) count alike: the section stays held, and
// cancellation disabled, until as many leaves. At depth 2 another section is held throughout, so
// cancellation was disabled before the entries: the final leave enables it all the same.
TEST(CriticalSection, EveryEntryNeedsItsOwnLeave) {
    for (int depth : {1, 2, 5, -1, -2, -5}) {
        CRITICAL_SECTION s, other;
        InitializeCriticalSection(&s);
        InitializeCriticalSection(&other);
        if (abs(depth) == 2) EnterCriticalSection(&other);
        for (int i = 0; i < abs(depth); ++i)
            EXPECT_TRUE(depth < 0 ? TryEnterCriticalSection(&s) : (EnterCriticalSection(&s), 1));
        for (int i = 0; i < abs(depth); LeaveCriticalSection(&s), ++i)
            EXPECT_EQ(Seen(&s), kMine) << "depth " << depth << " after " << i << " leaves";
        EXPECT_EQ(Seen(&s), kFree) << "depth " << depth;
        if (abs(depth) == 2) LeaveCriticalSection(&other);
        DeleteCriticalSection(&other);
        DeleteCriticalSection(&s);
    }
}

// Threads entering three ways (Enter, nested Enter, a TryEnter loop) add to a plain counter, with
// a wide window for a second thread inside; any overlap loses increments or trips the check.
TEST(CriticalSection, ThreadsInsideAreMutuallyExclusive) {
    CRITICAL_SECTION s;
    InitializeCriticalSection(&s);
    long counter = 0, overlaps = 0, inside = 0;
    auto work = [&] {
        overlaps += inside++ != 0;
        const long seen = counter;
        sched_yield();
        counter = seen + 1;
        --inside;
    };
    auto enter = [&] { EnterCriticalSection(&s); };
    auto leave = [&] { LeaveCriticalSection(&s); };
    const std::vector<long> rounds = tvxtest::Hammer(
        {[&] { enter(), work(), leave(); }, [&] { enter(), enter(), work(), leave(), work(), leave(); },
         [&] { while (!TryEnterCriticalSection(&s)) sched_yield(); work(), leave(); }}, 20000);
    EXPECT_EQ(counter, rounds[0] + 2 * rounds[1] + rounds[2]);
    EXPECT_TRUE(overlaps == 0 && Waiters(s) == 0 && Seen(&s) == kFree);
    DeleteCriticalSection(&s);
}

// The owner gets in by blocking, enters again and is cancelled, running with asynchronous
// cancellation: it must keep running through the first leave and die only after the second.
// Meanwhile strays by this thread, its former owner (a failed TryEnter, leaves it no longer owns,
// null sections), change nothing: not the hold, not this thread's cancellation state.
TEST(CriticalSection, OwnerIsNotCancelledUntilItHasLeftCompletely) {
    CRITICAL_SECTION s;
    InitializeCriticalSection(&s);
    EnterCriticalSection(&s);
    Script owner{.section = &s, .entries = 2, .asynchronous = true};
    pthread_t thread = Start(&owner);
    ASSERT_TRUE(WaitUntil([&] { return Waiters(s) == 1; }));
    LeaveCriticalSection(&s);
    ASSERT_TRUE(WaitUntil([&] { return owner.inside_state.load() != -1; }));
    ASSERT_EQ(pthread_cancel(thread), 0);
    for (int leaves = 0; leaves < 2; ++leaves) {
        owner.leaves_requested.store(leaves);
        ASSERT_TRUE(WaitUntil([&] { return owner.leaves_done.load() == leaves; }));
        const unsigned long before = owner.progress.load();
        EXPECT_TRUE(WaitUntil([&] { return owner.progress.load() > before + 20; }));
        EXPECT_EQ(pthread_tryjoin_np(thread, nullptr), EBUSY) << "cancelled after " << leaves;
        InitializeCriticalSection(nullptr);
        EnterCriticalSection(nullptr);
        EXPECT_FALSE(TryEnterCriticalSection(nullptr) || TryEnterCriticalSection(&s));
        EXPECT_EQ(CancelState(), PTHREAD_CANCEL_ENABLE);
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
        for (CRITICAL_SECTION* stray : {&s, &s, static_cast<CRITICAL_SECTION*>(nullptr)})
            LeaveCriticalSection(stray);
        DeleteCriticalSection(nullptr);
        EXPECT_EQ(CancelState(), PTHREAD_CANCEL_DISABLE);
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
        EXPECT_EQ(Seen(&s), kOthers) << "after " << leaves << " leaves";
    }
    owner.leaves_requested.store(2);
    ASSERT_TRUE(Joined(thread));
    EXPECT_TRUE(owner.cancelled.load()) << "the pending cancellation never took effect";
    EXPECT_EQ(Seen(&s), kFree) << "it died before giving the section back";
    DeleteCriticalSection(&s);
}

// Waiters queue behind a nested hold, and the first is cancelled while blocked (deferred: at the
// wait; asynchronous: wherever it is). That breaks nothing: the others stay blocked through the
// non-final leave, and the final one lets each in, in turn, with cancellation disabled. When the
// section is reserved for the holder, the first waiter revokes that: it waits having taken the
// section's word already, and must give it back as it dies.
TEST(CriticalSection, OnlyTheFinalLeaveWakesWaitersAndACancelledOneBreaksNothing) {
    for (int variant = 0; variant < 4; ++variant) {
        const bool asynchronous = variant & 1, reserved = variant & 2;
        SCOPED_TRACE(testing::Message() << "asynchronous " << asynchronous << ", reserved " << reserved);
        CRITICAL_SECTION s;
        InitializeCriticalSection(&s);
        if (reserved) EnterCriticalSection(&s), LeaveCriticalSection(&s);
        EnterCriticalSection(&s);
        EnterCriticalSection(&s);
        Script doomed{.section = &s, .asynchronous = asynchronous}, patient[3];
        pthread_t doomed_thread = Start(&doomed), threads[3];
        ASSERT_TRUE(WaitUntil([&] { return Waiters(s) == 1; }));
        for (int i = 0; i < 3; ++i)
            patient[i].section = &s, patient[i].leaves_requested = 1, threads[i] = Start(&patient[i]);
        ASSERT_TRUE(WaitUntil([&] { return Waiters(s) == 4; }));
        ASSERT_EQ(pthread_cancel(doomed_thread), 0);
        void* result = nullptr;
        ASSERT_TRUE(Joined(doomed_thread, &result)) << "a blocked waiter ignored cancellation";
        EXPECT_TRUE(doomed.cancelled.load() && doomed.inside_state.load() == -1);
        EXPECT_TRUE(asynchronous || result == PTHREAD_CANCELED);  // see Script::cancelled
        EXPECT_EQ(Waiters(s), 3) << "the cancelled waiter is still counted";
        LeaveCriticalSection(&s);
        // A bounded look for what must not happen: it can miss, but never fail falsely.
        EXPECT_FALSE(WaitUntil([&] {
            return patient[0].inside_state + patient[1].inside_state + patient[2].inside_state != -3;
        }, 200)) << "a non-final leave let a waiter in";
        EXPECT_EQ(Seen(&s), kMine);
        LeaveCriticalSection(&s);
        for (int i = 0; i < 3; ++i) {
            EXPECT_TRUE(Joined(threads[i], &result) && result == nullptr) << "a waiter was not let in";
            EXPECT_EQ(patient[i].inside_state.load(), PTHREAD_CANCEL_DISABLE);
        }
        EXPECT_TRUE(Waiters(s) == 0 && Seen(&s) == kFree);
        DeleteCriticalSection(&s);
    }
}

// A waiter counted just as the owner gives the section back must be let in by that very leave:
// nobody else will come. The owner hands the section to one blocked thread at a time, thousands of
// times, the two racing through the window between the waiter's count and its test, and between
// the leave's release and its look at the count.
static void HandOffRounds() {
    static CRITICAL_SECTION s;  // outlives a stranded waiter that PlayRounds leaves behind
    InitializeCriticalSection(&s);
    ASSERT_EQ(tvxtest::PlayRounds(60000,
        [&](int round, const tvxtest::Go& go) {
            EnterCriticalSection(&s);
            go();
            if (round % 4 != 0) Spin(round % 300);  // meet it as it counts itself, or asleep
            else for (int spin = round % 64; spin > 0; --spin) sched_yield();
            LeaveCriticalSection(&s);
        },
        [&](int) { EnterCriticalSection(&s), LeaveCriticalSection(&s); }), 0)
        << "a waiter slept through the leave that freed the section";
    EXPECT_EQ(Waiters(s), 0);
    DeleteCriticalSection(&s);
}

// In whichever way this machine orders releases, and then without the kernel's barrier.
TEST(CriticalSection, AHandOffNeverStrandsTheWaiter) { HandOffRounds(); }

TEST(CriticalSection, AHandOffNeverStrandsTheWaiterWithFencedLeaves) {
    if (getenv("TVX_TEST_FENCED") == nullptr)
        EXPECT_TRUE(tvxtest::RerunThisTest("TVX_TEST_FENCED")) << "the fenced run failed";
    else if (tvxtest::BarrierMode() != 0)
        FAIL() << "the fenced run did not get fenced leaves";
    else
        HandOffRounds();
}

// A section that only one thread has used is reserved for it; the first other thread to want it
// revokes that for good. The reserved thread's entry and the other's (Enter, or a TryEnter loop)
// race on a fresh section every round, meeting at a different point each time. Neither may be
// inside with the other or be stranded by its leave; the section works normally once revoked.
TEST(CriticalSection, RevokingAReservationRacesSafelyWithItsHolder) {
    CRITICAL_SECTION s;
    std::atomic<int> inside{0}, overlaps{0};
    auto visit = [&] {
        overlaps += inside.fetch_add(1) != 0;
        sched_yield();
        inside.fetch_sub(1);
        LeaveCriticalSection(&s);
    };
    ASSERT_EQ(tvxtest::PlayRounds(5000,
        [&](int round, const tvxtest::Go& go) {
            InitializeCriticalSection(&s);
            EnterCriticalSection(&s);  // reserves it for this thread
            LeaveCriticalSection(&s);
            go();
            Spin(round * 11 % 400);
            EnterCriticalSection(&s);
            visit();
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
            EXPECT_EQ(Waiters(s), 0);
            DeleteCriticalSection(&s);
        }), 0) << "the other thread never got in";
    EXPECT_EQ(overlaps.load(), 0);
}
