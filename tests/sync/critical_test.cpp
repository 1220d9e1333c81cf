// Critical sections: recursion, exclusion between threads, waking waiters, stray leaves, and the
// rule that a thread owning a section cannot be cancelled.
#include <tarvex/sync.h>

#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "critical_threads.h"
#include "tvx_test.h"

// Whether this process orders its releases with the kernel's process-wide barrier (1) or with
// fenced hot paths and no reservations (0): settled as the library starts, -1 until then. A run
// with kFenced in its environment asks for the fenced way.
constexpr char kFenced[] = "TVX_TEST_FENCED";
std::atomic<int> g_barrier_mode{-1};

extern "C" void TarvexTestHook(const char* where, const void* detail) {
    if (strcmp(where, "barrier-mode") != 0) return;
    int* mode = const_cast<int*>(static_cast<const int*>(detail));
    if (getenv(kFenced) != nullptr) *mode = 0;
    g_barrier_mode.store(*mode);
}

namespace {

using tvxtest::Script;

// Generous: the i386 build runs under emulation on a loaded two-core machine.
bool WaitUntil(const std::function<bool()>& done, long long timeout_ms = 30000) {
    for (long long deadline = tvxtest::NowMs() + timeout_ms; !done(); usleep(1000))
        if (tvxtest::NowMs() > deadline) return false;
    return true;
}

LONG Waiters(const CRITICAL_SECTION& s) { return __atomic_load_n(&s.waiters, __ATOMIC_SEQ_CST); }

int CancelState() {
    int state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
    pthread_setcancelstate(state, nullptr);
    return state;
}

// What the calling thread sees of `s`: whether another thread's TryEnter gets in (and leaves
// again), and its own cancellation state, which owning a section disables.
using View = std::pair<BOOL, int>;
const View kMine{FALSE, PTHREAD_CANCEL_DISABLE}, kOthers{FALSE, PTHREAD_CANCEL_ENABLE},
    kFree{TRUE, PTHREAD_CANCEL_ENABLE};
View Seen(CRITICAL_SECTION* s) {
    BOOL got_in = -1;
    std::thread([&] { if ((got_in = TryEnterCriticalSection(s))) LeaveCriticalSection(s); }).join();
    return {got_in, CancelState()};
}

pthread_t Start(Script* script) {
    pthread_t thread{};
    EXPECT_EQ(pthread_create(&thread, nullptr, tvxtest::RunScript, script), 0);
    return thread;
}

bool Joined(pthread_t thread, void** result = nullptr) {
    return WaitUntil([&] { return pthread_tryjoin_np(thread, result) == 0; });
}

// Entries by Enter and by TryEnter alike are counted: the section stays held, and cancellation
// disabled, until as many leaves. At depth 2 another section is held throughout, so cancellation
// was disabled before the entries: the final leave enables it all the same.
TEST(CriticalSection, EveryEntryNeedsItsOwnLeave) {
    const std::pair<const char*, BOOL (*)(CRITICAL_SECTION*)> ways[] = {
        {"Enter", [](CRITICAL_SECTION* s) { EnterCriticalSection(s); return TRUE; }},
        {"TryEnter", TryEnterCriticalSection}};
    for (auto [name, enter] : ways) {
        for (int depth : {1, 2, 5}) {
            SCOPED_TRACE(testing::Message() << name << " x" << depth);
            CRITICAL_SECTION s, other;
            InitializeCriticalSection(&s);
            InitializeCriticalSection(&other);
            if (depth == 2) EnterCriticalSection(&other);
            for (int i = 0; i < depth; ++i) EXPECT_EQ(enter(&s), TRUE);
            for (int i = 0; i < depth; ++i) {
                EXPECT_EQ(Seen(&s), kMine) << "after " << i << " leaves";
                LeaveCriticalSection(&s);
            }
            EXPECT_EQ(Seen(&s), kFree);
            if (depth == 2) LeaveCriticalSection(&other);
            DeleteCriticalSection(&other);
            DeleteCriticalSection(&s);
        }
    }
}

// Threads entering three ways add to a plain counter; any overlap loses increments or trips the
// occupancy check. They run side by side for a stretch of time rather than a count, since a short
// loop can finish inside one time slice on a loaded machine and never meet the others.
TEST(CriticalSection, ThreadsInsideAreMutuallyExclusive) {
    CRITICAL_SECTION s;
    InitializeCriticalSection(&s);
    long counter = 0, overlaps = 0, done[3] = {};
    int inside = 0;
    auto work = [&] {
        if (inside++ != 0) ++overlaps;
        long seen = counter;
        sched_yield();  // a wide window for a second thread, were one let in
        counter = seen + 1;
        --inside;
    };
    auto round = [&](int way) {  // 0: Enter, 1: nested Enter, 2: a TryEnter loop
        while (way == 2 && !TryEnterCriticalSection(&s)) sched_yield();
        if (way != 2) EnterCriticalSection(&s);
        if (way == 1) { EnterCriticalSection(&s); work(); LeaveCriticalSection(&s); }
        work();
        LeaveCriticalSection(&s);
    };
    std::atomic<int> ready{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&, i] {
            for (ready.fetch_add(1); done[i] < 20000 || !stop.load(); ++done[i]) round(i);
        });
    WaitUntil([&] { return ready.load() == 3; });
    usleep(300 * 1000);  // all three running side by side
    stop.store(true);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(counter, done[0] + 2 * done[1] + done[2]);
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(Waiters(s), 0);
    EXPECT_EQ(Seen(&s), kFree);
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
        SCOPED_TRACE(testing::Message() << "after " << leaves << " of 2 leaves");
        owner.leaves_requested.store(leaves);
        ASSERT_TRUE(WaitUntil([&] { return owner.leaves_done.load() == leaves; }));
        unsigned long before = owner.progress.load();
        EXPECT_TRUE(WaitUntil([&] { return owner.progress.load() > before + 20; }));
        EXPECT_EQ(pthread_tryjoin_np(thread, nullptr), EBUSY) << "cancelled while owning";
        InitializeCriticalSection(nullptr);
        EnterCriticalSection(nullptr);
        EXPECT_EQ(TryEnterCriticalSection(nullptr), FALSE);
        EXPECT_EQ(TryEnterCriticalSection(&s), FALSE);
        EXPECT_EQ(CancelState(), PTHREAD_CANCEL_ENABLE);
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
        LeaveCriticalSection(&s);
        LeaveCriticalSection(&s);
        LeaveCriticalSection(nullptr);
        DeleteCriticalSection(nullptr);
        EXPECT_EQ(CancelState(), PTHREAD_CANCEL_DISABLE);
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
        EXPECT_EQ(Seen(&s), kOthers);
    }
    owner.leaves_requested.store(2);
    ASSERT_TRUE(Joined(thread));
    EXPECT_TRUE(owner.cancelled.load()) << "the pending cancellation never took effect";
    EXPECT_EQ(Seen(&s), kFree) << "it died before giving the section back";
    DeleteCriticalSection(&s);
}

// Waiters queue behind a nested hold, and the first is cancelled while blocked (deferred: at the
// wait; asynchronous: wherever it is). That breaks nothing: the others stay blocked through the
// non-final leave, and the final one lets each of them in, in turn, with cancellation disabled.
// When the section is reserved for the holder, the first waiter is the one that revokes that: it
// waits having taken the section's word already, and must give it back as it dies.
TEST(CriticalSection, OnlyTheFinalLeaveWakesWaitersAndACancelledOneBreaksNothing) {
    constexpr LONG kPatient = 3;
    for (int variant = 0; variant < 4; ++variant) {
        bool asynchronous = variant & 1, reserved = variant & 2;
        SCOPED_TRACE(testing::Message() << (asynchronous ? "asynchronous" : "deferred")
                                        << (reserved ? ", reserved" : ""));
        CRITICAL_SECTION s;
        InitializeCriticalSection(&s);
        if (reserved) {
            EnterCriticalSection(&s);
            LeaveCriticalSection(&s);
        }
        EnterCriticalSection(&s);
        EnterCriticalSection(&s);
        Script doomed{.section = &s, .asynchronous = asynchronous, .leaves_requested = 1};
        pthread_t doomed_thread = Start(&doomed);
        ASSERT_TRUE(WaitUntil([&] { return Waiters(s) == 1; }));
        Script patient[kPatient];
        std::vector<pthread_t> threads;
        for (Script& p : patient) {
            p.section = &s;
            p.leaves_requested.store(1);
            threads.push_back(Start(&p));
        }
        ASSERT_TRUE(WaitUntil([&] { return Waiters(s) == 1 + kPatient; }));

        ASSERT_EQ(pthread_cancel(doomed_thread), 0);
        void* result = nullptr;
        ASSERT_TRUE(Joined(doomed_thread, &result)) << "a blocked waiter ignored cancellation";
        EXPECT_TRUE(doomed.cancelled.load());
        EXPECT_EQ(doomed.inside_state.load(), -1);
        // Asynchronous: glibc may report NULL instead (see Script::cancelled).
        EXPECT_TRUE(asynchronous || result == PTHREAD_CANCELED);
        EXPECT_EQ(Waiters(s), kPatient) << "the cancelled waiter is still counted";

        LeaveCriticalSection(&s);
        auto entered = [&] {
            for (Script& p : patient) if (p.inside_state != -1) return true;
            return false;
        };
        EXPECT_FALSE(WaitUntil(entered, 300)) << "a non-final leave let a waiter in";
        EXPECT_EQ(Seen(&s), kMine);
        LeaveCriticalSection(&s);
        for (LONG i = 0; i < kPatient; ++i) {
            EXPECT_TRUE(Joined(threads[i], &result)) << "a waiter was not let in";
            EXPECT_EQ(result, nullptr);
            EXPECT_EQ(patient[i].inside_state.load(), PTHREAD_CANCEL_DISABLE);
        }
        EXPECT_EQ(Waiters(s), 0);
        EXPECT_EQ(Seen(&s), kFree);
        DeleteCriticalSection(&s);
    }
}

// A waiter that is counted just as the owner gives the section back must be let in by that very
// leave: nobody else will come to wake it. The owner hands the section to one blocked thread at a
// time and waits for it to get in, thousands of times, with the two racing through the window
// between the waiter's count and its test, and the leave's release and its look at the count.
void HandOffRounds() {
    CRITICAL_SECTION s;
    InitializeCriticalSection(&s);
    int stranded = tvxtest::PlayRounds(
        20000,
        [&](int round, const tvxtest::Go& go) {
            EnterCriticalSection(&s);
            go();
            for (int spin = round % 64; spin > 0; --spin) sched_yield();  // vary the meeting point
            LeaveCriticalSection(&s);
        },
        [&](int) {
            EnterCriticalSection(&s);
            LeaveCriticalSection(&s);
        });
    ASSERT_EQ(stranded, 0) << "a waiter slept through the leave that freed the section";
    EXPECT_EQ(Waiters(s), 0);
    DeleteCriticalSection(&s);
}

// In whichever way this machine orders releases, and then without the kernel's barrier.
TEST(CriticalSection, AHandOffNeverStrandsTheWaiter) { HandOffRounds(); }

TEST(CriticalSection, AHandOffNeverStrandsTheWaiterWithFencedLeaves) {
    if (getenv(kFenced) == nullptr)
        EXPECT_TRUE(tvxtest::RerunThisTest(kFenced)) << "the run with fenced leaves failed";
    else if (g_barrier_mode.load() != 0)
        FAIL() << "the fenced run did not get fenced releases";
    else
        HandOffRounds();
}

// Busy for a while without a call, so that two threads meet at a chosen point within nanoseconds.
void Spin(int rounds) {
    for (int i = 0; i < rounds; ++i) __asm__ __volatile__("");
}

// A section that only one thread has used is reserved for it; the first other thread to want it
// revokes that for good. Here the reserved thread's entry and the other thread's (by Enter, or by
// a TryEnter loop) race on a fresh section every round, meeting at a different point each time.
// Whoever gets in second must not be inside with the first, must not be stranded by the first's
// leave, and the section must work normally after the revocation.
TEST(CriticalSection, RevokingAReservationRacesSafelyWithItsHolder) {
    CRITICAL_SECTION s;
    std::atomic<int> inside{0}, overlaps{0};
    auto visit = [&] {
        if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
        sched_yield();
        inside.fetch_sub(1);
        LeaveCriticalSection(&s);
    };
    int stranded = tvxtest::PlayRounds(
        5000,
        [&](int round, const tvxtest::Go& go) {
            InitializeCriticalSection(&s);
            EnterCriticalSection(&s);  // reserves it for this thread
            LeaveCriticalSection(&s);
            go();
            Spin((round * 11) % 400);
            EnterCriticalSection(&s);
            visit();
        },
        [&](int round) {
            Spin((round * 37) % 400);
            if (round % 2 == 0) EnterCriticalSection(&s);
            else while (!TryEnterCriticalSection(&s)) sched_yield();
            visit();
        },
        [&](int) {  // revoked now: an ordinary section from here on
            EnterCriticalSection(&s);
            EXPECT_EQ(Seen(&s), kMine);
            LeaveCriticalSection(&s);
            EXPECT_EQ(Waiters(s), 0);
            DeleteCriticalSection(&s);
        });
    ASSERT_EQ(stranded, 0) << "the other thread never got in";
    EXPECT_EQ(overlaps.load(), 0);
}

}  // namespace
