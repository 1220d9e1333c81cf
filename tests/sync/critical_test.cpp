// Critical sections: recursion, exclusion between threads, waking waiters, stray leaves, and the
// rule that a thread owning a section cannot be cancelled.
#include <tarvex/sync.h>

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "critical_threads.h"
#include "tvx_test.h"


namespace {

using tvxtest::NowMs;

// Generous: the i386 build runs under emulation on a loaded two-core machine.
constexpr int kPatienceMs = 30000;
// How long a thread that must stay blocked is watched before the test concludes it is blocked.
constexpr int kStillBlockedMs = 300;

const pthread_t kNoOwner = ~pthread_t{0};

bool WaitUntil(const std::function<bool()>& done, int timeout_ms = kPatienceMs) {
    long long deadline = NowMs() + timeout_ms;
    while (!done()) {
        if (NowMs() > deadline) return false;
        usleep(1000);
    }
    return true;
}

// Threads the section's own bookkeeping counts as blocked in EnterCriticalSection.
LONG Waiters(const CRITICAL_SECTION& section) {
    return __atomic_load_n(&section.waiters, __ATOMIC_SEQ_CST);
}

// The calling thread's cancellation state, left as it was.
int CancelState() {
    int state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
    pthread_setcancelstate(state, nullptr);
    return state;
}

// TryEnterCriticalSection from a fresh thread, which leaves again if it got in.
BOOL TryEnterElsewhere(CRITICAL_SECTION* section) {
    BOOL result = -1;
    std::thread other([&] {
        result = TryEnterCriticalSection(section);
        if (result) LeaveCriticalSection(section);
    });
    other.join();
    return result;
}

// Joins `thread` if it ends within `timeout_ms`; returns pthread_timedjoin_np's result.
int JoinWithin(pthread_t thread, void** result, int timeout_ms = kPatienceMs) {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += (timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return pthread_timedjoin_np(thread, result, &deadline);
}

// A thread that owns a section until told to leave it.
class Holder {
public:
    explicit Holder(CRITICAL_SECTION* section)
        : thread_([this, section] {
              EnterCriticalSection(section);
              owns_.store(true);
              while (!release_.load()) usleep(1000);
              LeaveCriticalSection(section);
          }) {
        EXPECT_TRUE(WaitUntil([&] { return owns_.load(); }));
    }
    void Release() {
        release_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    ~Holder() { Release(); }

private:
    std::atomic<bool> owns_{false};
    std::atomic<bool> release_{false};
    std::thread thread_;
};

TEST(CriticalSection, StateFieldsFollowOwnership) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EXPECT_EQ(section.locked, 0);
    EXPECT_EQ(section.count, 0u);
    EXPECT_EQ(section.owner, kNoOwner);

    EnterCriticalSection(&section);
    EXPECT_EQ(section.locked, 1);
    EXPECT_EQ(section.count, 1u);
    EXPECT_TRUE(pthread_equal(section.owner, pthread_self()));
    EnterCriticalSection(&section);
    EXPECT_EQ(section.count, 2u);

    LeaveCriticalSection(&section);
    EXPECT_EQ(section.locked, 1);
    EXPECT_EQ(section.count, 1u);
    EXPECT_TRUE(pthread_equal(section.owner, pthread_self()));
    LeaveCriticalSection(&section);
    EXPECT_EQ(section.locked, 0);
    EXPECT_EQ(section.count, 0u);
    EXPECT_EQ(section.owner, kNoOwner);
    DeleteCriticalSection(&section);
}

TEST(CriticalSection, RecursiveEntryNeedsAsManyLeaves) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EXPECT_EQ(TryEnterElsewhere(&section), TRUE);

    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    LeaveCriticalSection(&section);
    EXPECT_EQ(TryEnterElsewhere(&section), FALSE);
    LeaveCriticalSection(&section);
    EXPECT_EQ(TryEnterElsewhere(&section), TRUE);

    // Deeper nesting counts the same way.
    for (int i = 0; i < 5; ++i) EnterCriticalSection(&section);
    for (int i = 0; i < 4; ++i) {
        LeaveCriticalSection(&section);
        EXPECT_EQ(TryEnterElsewhere(&section), FALSE) << "after " << i + 1 << " of 5 leaves";
    }
    LeaveCriticalSection(&section);
    EXPECT_EQ(TryEnterElsewhere(&section), TRUE);
    DeleteCriticalSection(&section);
}

TEST(CriticalSection, TryEnterByTheOwnerCountsAsAnEntry) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_EQ(TryEnterCriticalSection(&section), TRUE);
    EXPECT_EQ(section.count, 2u);
    LeaveCriticalSection(&section);
    EXPECT_EQ(TryEnterElsewhere(&section), FALSE);
    LeaveCriticalSection(&section);
    EXPECT_EQ(TryEnterElsewhere(&section), TRUE);

    // A free section is taken by TryEnter just as by Enter.
    EXPECT_EQ(TryEnterCriticalSection(&section), TRUE);
    EXPECT_EQ(section.count, 1u);
    EXPECT_EQ(TryEnterElsewhere(&section), FALSE);
    LeaveCriticalSection(&section);
    EXPECT_EQ(TryEnterElsewhere(&section), TRUE);
    DeleteCriticalSection(&section);
}

TEST(CriticalSection, TryEnterFailsAtOnceWhileAnotherThreadOwns) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    {
        Holder holder(&section);
        EXPECT_EQ(TryEnterCriticalSection(&section), FALSE);
        EXPECT_EQ(TryEnterCriticalSection(&section), FALSE);
        // The failed attempts changed nothing about the owner's hold.
        EXPECT_EQ(section.count, 1u);
        EXPECT_FALSE(pthread_equal(section.owner, pthread_self()));
        holder.Release();
    }
    EXPECT_EQ(TryEnterCriticalSection(&section), TRUE);
    LeaveCriticalSection(&section);
    DeleteCriticalSection(&section);
}

// Several threads, each through a different way in (Enter, nested Enter, a TryEnter loop), add
// to a plain counter; any overlap loses increments or trips the occupancy check. They run side by
// side for a stretch of time rather than a count, since a short loop can finish inside one time
// slice on a loaded machine and never meet the others.
TEST(CriticalSection, ThreadsInsideAreMutuallyExclusive) {
    constexpr int kHammerMs = 300;
    constexpr long kMinRounds = 20000;
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    long counter = 0;
    int inside = 0;
    long overlaps = 0;
    std::atomic<int> ready{0};
    std::atomic<bool> stop{false};

    auto work = [&] {
        if (inside++ != 0) ++overlaps;
        long seen = counter;
        sched_yield();  // a wide window for a second thread, were one let in
        counter = seen + 1;
        --inside;
    };
    // Runs `round` until told to stop (and at least kMinRounds times); returns the rounds done.
    auto hammer = [&](const std::function<void()>& round) {
        ready.fetch_add(1);
        while (ready.load() < 3) sched_yield();
        long done = 0;
        while (done < kMinRounds || !stop.load(std::memory_order_relaxed)) {
            round();
            ++done;
        }
        return done;
    };
    long plain_rounds = 0;
    long nested_rounds = 0;
    long trying_rounds = 0;
    std::thread plain([&] {
        plain_rounds = hammer([&] {
            EnterCriticalSection(&section);
            work();
            LeaveCriticalSection(&section);
        });
    });
    std::thread nested([&] {
        nested_rounds = hammer([&] {
            EnterCriticalSection(&section);
            EnterCriticalSection(&section);
            work();
            LeaveCriticalSection(&section);
            work();
            LeaveCriticalSection(&section);
        });
    });
    std::thread trying([&] {
        trying_rounds = hammer([&] {
            while (!TryEnterCriticalSection(&section)) sched_yield();
            work();
            LeaveCriticalSection(&section);
        });
    });
    while (ready.load() < 3) sched_yield();
    usleep(kHammerMs * 1000);
    stop.store(true);
    plain.join();
    nested.join();
    trying.join();
    EXPECT_EQ(counter, plain_rounds + 2 * nested_rounds + trying_rounds);
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(section.locked, 0);
    EXPECT_EQ(Waiters(section), 0);
    DeleteCriticalSection(&section);
}

TEST(CriticalSection, OnlyTheFinalLeaveWakesABlockedWaiter) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    std::atomic<bool> entered{false};
    std::thread waiter([&] {
        EnterCriticalSection(&section);
        entered.store(true);
        LeaveCriticalSection(&section);
    });
    ASSERT_TRUE(WaitUntil([&] { return Waiters(section) == 1; }));

    LeaveCriticalSection(&section);
    usleep(kStillBlockedMs * 1000);
    EXPECT_FALSE(entered.load()) << "a non-final leave let the waiter in";
    EXPECT_EQ(Waiters(section), 1);

    long long released = NowMs();
    LeaveCriticalSection(&section);
    EXPECT_TRUE(WaitUntil([&] { return entered.load(); })) << "the final leave did not wake it";
    waiter.join();
    EXPECT_LT(NowMs() - released, kPatienceMs);
    EXPECT_EQ(Waiters(section), 0);
    DeleteCriticalSection(&section);
}

TEST(CriticalSection, EveryBlockedWaiterEventuallyEnters) {
    constexpr int kWaiters = 6;
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    std::atomic<int> entered{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&] {
            EnterCriticalSection(&section);
            entered.fetch_add(1);
            usleep(1000);  // hold it a moment so that the others really queue up
            LeaveCriticalSection(&section);
        });
    }
    ASSERT_TRUE(WaitUntil([&] { return Waiters(section) == kWaiters; }));
    EXPECT_EQ(entered.load(), 0);
    LeaveCriticalSection(&section);
    EXPECT_TRUE(WaitUntil([&] { return entered.load() == kWaiters; }))
        << entered.load() << " of " << kWaiters << " waiters got in";
    for (std::thread& t : waiters) t.join();
    EXPECT_EQ(Waiters(section), 0);
    EXPECT_EQ(TryEnterElsewhere(&section), TRUE);
    DeleteCriticalSection(&section);
}

TEST(CriticalSection, StrayLeavesDoNotReleaseTheSection) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);

    // A thread that does not own the section leaves it, several times.
    EnterCriticalSection(&section);
    std::thread stranger([&] {
        for (int i = 0; i < 3; ++i) LeaveCriticalSection(&section);
    });
    stranger.join();
    EXPECT_EQ(TryEnterElsewhere(&section), FALSE);
    EXPECT_EQ(section.count, 1u);
    EXPECT_TRUE(pthread_equal(section.owner, pthread_self()));
    LeaveCriticalSection(&section);
    EXPECT_EQ(TryEnterElsewhere(&section), TRUE);

    // The owner leaves once more than it entered, first while the section is free, then while
    // another thread has taken it.
    EnterCriticalSection(&section);
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    EXPECT_EQ(section.locked, 0);
    EXPECT_EQ(section.count, 0u);
    {
        Holder holder(&section);
        LeaveCriticalSection(&section);
        EXPECT_EQ(TryEnterCriticalSection(&section), FALSE);
        EXPECT_EQ(section.count, 1u);
        holder.Release();
    }
    EXPECT_EQ(TryEnterElsewhere(&section), TRUE);
    DeleteCriticalSection(&section);
}

TEST(CriticalSection, OwningASectionDisablesCancellation) {
    CRITICAL_SECTION first;
    CRITICAL_SECTION second;
    InitializeCriticalSection(&first);
    InitializeCriticalSection(&second);
    ASSERT_EQ(CancelState(), PTHREAD_CANCEL_ENABLE);

    EnterCriticalSection(&first);
    EXPECT_EQ(CancelState(), PTHREAD_CANCEL_DISABLE);
    EnterCriticalSection(&first);
    LeaveCriticalSection(&first);
    EXPECT_EQ(CancelState(), PTHREAD_CANCEL_DISABLE) << "re-enabled before the final leave";
    LeaveCriticalSection(&first);
    EXPECT_EQ(CancelState(), PTHREAD_CANCEL_ENABLE);

    // TryEnter that gets in disables it too.
    EXPECT_EQ(TryEnterCriticalSection(&first), TRUE);
    EXPECT_EQ(CancelState(), PTHREAD_CANCEL_DISABLE);
    LeaveCriticalSection(&first);
    EXPECT_EQ(CancelState(), PTHREAD_CANCEL_ENABLE);

    // The final leave enables cancellation whatever the state was before the entry...
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    EnterCriticalSection(&first);
    LeaveCriticalSection(&first);
    EXPECT_EQ(CancelState(), PTHREAD_CANCEL_ENABLE);

    // ...and even while the thread still owns another section.
    EnterCriticalSection(&first);
    EnterCriticalSection(&second);
    LeaveCriticalSection(&second);
    EXPECT_EQ(CancelState(), PTHREAD_CANCEL_ENABLE);
    LeaveCriticalSection(&first);

    // A blocking entry returns with cancellation disabled; a failed TryEnter and a stray leave
    // leave the caller's state alone.
    EnterCriticalSection(&first);
    std::atomic<int> after_blocking{-1};
    std::atomic<int> after_failed_try{-1};
    std::atomic<int> after_stray_leave{-1};
    std::thread other([&] {
        EXPECT_EQ(TryEnterCriticalSection(&first), FALSE);
        after_failed_try.store(CancelState());
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
        LeaveCriticalSection(&first);
        after_stray_leave.store(CancelState());
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
        EnterCriticalSection(&first);
        after_blocking.store(CancelState());
        LeaveCriticalSection(&first);
    });
    ASSERT_TRUE(WaitUntil([&] { return Waiters(first) == 1; }));
    LeaveCriticalSection(&first);
    other.join();
    EXPECT_EQ(after_failed_try.load(), PTHREAD_CANCEL_ENABLE);
    EXPECT_EQ(after_stray_leave.load(), PTHREAD_CANCEL_DISABLE);
    EXPECT_EQ(after_blocking.load(), PTHREAD_CANCEL_DISABLE);

    DeleteCriticalSection(&second);
    DeleteCriticalSection(&first);
}

// The owner runs with asynchronous cancellation and is cancelled while it holds the section
// twice: it must keep running through the first leave and die only after the second.
TEST(CriticalSection, OwnerIsNotCancelledUntilItHasLeftCompletely) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    tvxtest::OwnerScript script;
    script.section = &section;
    script.entries = 2;
    pthread_t owner;
    ASSERT_EQ(pthread_create(&owner, nullptr, tvxtest::OwnUntilCancelled, &script), 0);
    ASSERT_TRUE(WaitUntil([&] { return script.owns.load(); }));

    auto still_running = [&] {
        unsigned long before = script.progress.load();
        bool advanced = WaitUntil([&] { return script.progress.load() > before + 20; });
        return advanced && pthread_tryjoin_np(owner, nullptr) == EBUSY;
    };

    ASSERT_EQ(pthread_cancel(owner), 0);
    EXPECT_TRUE(still_running()) << "cancelled while owning the section twice";
    EXPECT_EQ(TryEnterElsewhere(&section), FALSE);

    script.leaves_requested.store(1);
    ASSERT_TRUE(WaitUntil([&] { return script.leaves_done.load() == 1; }));
    EXPECT_TRUE(still_running()) << "cancelled while owning the section once";
    EXPECT_EQ(TryEnterElsewhere(&section), FALSE);

    EXPECT_FALSE(script.cancelled.load());
    script.leaves_requested.store(2);
    ASSERT_EQ(JoinWithin(owner, nullptr), 0) << "the pending cancellation never took effect";
    EXPECT_TRUE(script.cancelled.load());
    // It died only after giving the section back.
    EXPECT_EQ(TryEnterElsewhere(&section), TRUE);
    EXPECT_EQ(section.locked, 0);
    DeleteCriticalSection(&section);
}

// A waiter cancelled while blocked in EnterCriticalSection (deferred: at the wait; asynchronous:
// wherever it is) must not leave the section broken: the owner can still leave, another waiter
// still gets woken, and later threads get in.
TEST(CriticalSection, CancelledWaiterLeavesTheSectionUsable) {
    for (bool asynchronous : {false, true}) {
        SCOPED_TRACE(asynchronous ? "asynchronous cancellation" : "deferred cancellation");
        CRITICAL_SECTION section;
        InitializeCriticalSection(&section);
        EnterCriticalSection(&section);

        tvxtest::WaiterScript doomed;
        doomed.section = &section;
        doomed.asynchronous = asynchronous;
        tvxtest::WaiterScript patient;
        patient.section = &section;
        pthread_t doomed_thread;
        pthread_t patient_thread;
        ASSERT_EQ(pthread_create(&doomed_thread, nullptr, tvxtest::EnterAndLeave, &doomed), 0);
        ASSERT_TRUE(WaitUntil([&] { return Waiters(section) == 1; }));
        ASSERT_EQ(pthread_create(&patient_thread, nullptr, tvxtest::EnterAndLeave, &patient), 0);
        ASSERT_TRUE(WaitUntil([&] { return Waiters(section) == 2; }));

        ASSERT_EQ(pthread_cancel(doomed_thread), 0);
        void* result = nullptr;
        ASSERT_EQ(JoinWithin(doomed_thread, &result), 0) << "a blocked waiter ignored cancellation";
        EXPECT_TRUE(doomed.cancelled.load());
        if (!asynchronous) {
            EXPECT_EQ(result, PTHREAD_CANCELED);
        }
        EXPECT_FALSE(doomed.entered.load());
        EXPECT_EQ(Waiters(section), 1) << "the cancelled waiter is still counted";
        EXPECT_FALSE(patient.entered.load());

        // The owner is unaffected: still the owner, and its leave hands over to the patient one.
        EXPECT_EQ(section.count, 1u);
        EXPECT_TRUE(pthread_equal(section.owner, pthread_self()));
        LeaveCriticalSection(&section);
        ASSERT_EQ(JoinWithin(patient_thread, &result), 0) << "the remaining waiter was not woken";
        EXPECT_EQ(result, nullptr);
        EXPECT_FALSE(patient.cancelled.load());
        EXPECT_TRUE(patient.entered.load());

        EXPECT_EQ(Waiters(section), 0);
        EXPECT_EQ(TryEnterElsewhere(&section), TRUE);
        EnterCriticalSection(&section);
        LeaveCriticalSection(&section);
        DeleteCriticalSection(&section);
    }
}

TEST(CriticalSection, NullSectionIsIgnored) {
    InitializeCriticalSection(nullptr);
    EnterCriticalSection(nullptr);
    EXPECT_EQ(CancelState(), PTHREAD_CANCEL_ENABLE);
    EXPECT_EQ(TryEnterCriticalSection(nullptr), FALSE);
    EXPECT_EQ(CancelState(), PTHREAD_CANCEL_ENABLE);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    LeaveCriticalSection(nullptr);
    EXPECT_EQ(CancelState(), PTHREAD_CANCEL_DISABLE);
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    DeleteCriticalSection(nullptr);
}

}  // namespace
