// Events with real threads: release rules, time-outs, names, the table's limits and the last
// close while threads still wait.
#include <windows.h>

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "core/handle.h"
#include "event_hook.h"
#include "tvx_test.h"

namespace {

// Threads that wait on one handle and record what each wait returned.
class Waiters {
public:
    Waiters(HANDLE event, int count, DWORD timeout) : results_(count) {
        for (int i = 0; i < count; ++i) {
            results_[i] = kPending;
            threads_.emplace_back([this, event, timeout, i] {
                started_.fetch_add(1);
                results_[i] = static_cast<int>(WaitForSingleObject(event, timeout));
                finished_.fetch_add(1);
            });
        }
        while (started_.load() < count) usleep(1000);
        usleep(100000);  // let them block
    }
    ~Waiters() { Join(); }
    void Join() {
        for (std::thread& t : threads_)
            if (t.joinable()) t.join();
    }
    int Finished() const { return finished_.load(); }
    int CountResult(int value) const {
        int n = 0;
        for (const auto& r : results_) n += r.load() == value;
        return n;
    }
    // Waits up to `ms` for at least `n` waits to end.
    bool AwaitFinished(int n, int ms = 5000) const {
        for (int i = 0; i < ms && finished_.load() < n; ++i) usleep(1000);
        return finished_.load() >= n;
    }
    static constexpr int kPending = -1;

private:
    std::vector<std::atomic<int>> results_;
    std::vector<std::thread> threads_;
    std::atomic<int> started_{0};
    std::atomic<int> finished_{0};
};

TEST(Events, ManualResetReleasesEveryWaiterUntilReset) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, e);
    {
        Waiters w(e, 4, INFINITE);
        EXPECT_EQ(0, w.Finished());
        EXPECT_TRUE(SetEvent(e));
        ASSERT_TRUE(w.AwaitFinished(4));
        w.Join();
        EXPECT_EQ(4, w.CountResult(WAIT_OBJECT_0));
    }
    // Still signalled: later waits return at once, with or without a time-out.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 5000));
    EXPECT_TRUE(SetEvent(e));  // already set: nothing changes
    EXPECT_TRUE(ResetEvent(e));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    EXPECT_TRUE(CloseHandle(e));
}

TEST(Events, AutoResetReleasesExactlyOneWaiterPerSet) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Waiters w(e, 4, 20000);
    for (int released = 1; released <= 4; ++released) {
        EXPECT_TRUE(SetEvent(e));
        ASSERT_TRUE(w.AwaitFinished(released)) << "set " << released;
        usleep(150000);  // no second waiter may follow the same set
        EXPECT_EQ(released, w.Finished());
        // The release went to a waiter: the event itself stays non-signalled.
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    }
    w.Join();
    EXPECT_EQ(4, w.CountResult(WAIT_OBJECT_0));
    EXPECT_TRUE(CloseHandle(e));
}

TEST(Events, AutoResetWithoutWaiterStaysSignalledUntilOneWaitTakesIt) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, "");  // empty name: unnamed
    EXPECT_TRUE(SetEvent(e));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));  // a zero time-out only looks
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    EXPECT_FALSE(ResetEvent(e));                          // not for auto-reset events
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 100));  // takes it
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    HANDLE initially_set = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(initially_set, INFINITE));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(initially_set, 50));
    CloseHandle(initially_set);
    CloseHandle(e);
}

TEST(Events, PulseReleasesOnlyThreadsWaitingAtThatMoment) {
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(PulseEvent(manual));  // nobody waits: nothing happens
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manual, 0));
    {
        Waiters w(manual, 3, 20000);
        EXPECT_TRUE(PulseEvent(manual));
        ASSERT_TRUE(w.AwaitFinished(3));
        w.Join();
        EXPECT_EQ(3, w.CountResult(WAIT_OBJECT_0));
    }
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manual, 200));
    HANDLE automatic = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    {
        Waiters w(automatic, 2, 1500);
        EXPECT_TRUE(PulseEvent(automatic));
        ASSERT_TRUE(w.AwaitFinished(1));
        w.Join();
        EXPECT_EQ(1, w.CountResult(WAIT_OBJECT_0));
        EXPECT_EQ(1, w.CountResult(WAIT_TIMEOUT));
    }
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(automatic, 0));
    CloseHandle(manual);
    CloseHandle(automatic);
}

TEST(Events, TimedWaitEndsAfterTimeOutAndLeavesStateAlone) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    long long start = tvxtest::NowMs();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 1500));
    long long took = tvxtest::NowMs() - start;
    EXPECT_GE(took, 1450);
    EXPECT_LT(took, 4000);
    start = tvxtest::NowMs();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    EXPECT_LT(tvxtest::NowMs() - start, 500);
    // A set during a timed wait ends it early.
    std::thread setter([e] {
        usleep(200000);
        SetEvent(e);
    });
    start = tvxtest::NowMs();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 10000));
    EXPECT_LT(tvxtest::NowMs() - start, 5000);
    setter.join();
    CloseHandle(e);
}

TEST(Events, LastCloseReleasesBlockedWaiters) {
    for (BOOL manual : {TRUE, FALSE}) {
        HANDLE e = CreateEventA(nullptr, manual, FALSE, "closing");
        HANDLE second = OpenEventA(0, FALSE, "closing");
        ASSERT_EQ(e, second);
        Waiters w(e, 3, INFINITE);
        EXPECT_TRUE(CloseHandle(second));  // one reference left: nobody is released
        usleep(100000);
        EXPECT_EQ(0, w.Finished());
        EXPECT_TRUE(CloseHandle(e));
        ASSERT_TRUE(w.AwaitFinished(3)) << "manual=" << manual;
        w.Join();
        EXPECT_EQ(3, w.CountResult(WAIT_OBJECT_0));
        // The record is free: operations on the old handle fail and say so.
        EXPECT_FALSE(SetEvent(e));
        EXPECT_EQ(128u, WaitForSingleObject(e, 0));
        EXPECT_FALSE(CloseHandle(e));
        EXPECT_GE(tvxtest::CountLogMessage("SetEvent: Invalid handle"), 1);
    }
}

TEST(Events, SameNameGivesSameRecordWithAlreadyExists) {
    HANDLE a = CreateEventA(nullptr, TRUE, FALSE, "Shared");
    SetLastError(0);
    HANDLE b = CreateEventA(nullptr, FALSE, TRUE, "Shared");  // flags ignored
    EXPECT_EQ(a, b);
    EXPECT_EQ(183u, GetLastError());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(a, 0));
    HANDLE other_case = CreateEventA(nullptr, TRUE, FALSE, "shared");  // names are exact
    EXPECT_NE(a, other_case);
    EXPECT_EQ(a, OpenEventA(0, FALSE, "Shared"));
    EXPECT_EQ(nullptr, OpenEventA(0, FALSE, "Missing"));
    EXPECT_EQ(nullptr, OpenEventA(0, FALSE, nullptr));
    // Three references: two closes leave it usable, the third frees it.
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_TRUE(SetEvent(a));
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_FALSE(SetEvent(a));
    EXPECT_EQ(nullptr, OpenEventA(0, FALSE, "Shared"));
    CloseHandle(other_case);
}

TEST(Events, UnnamedEventsAnswerToTheCommonName) {
    HANDLE first = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE second = CreateEventA(nullptr, TRUE, FALSE, "");
    EXPECT_NE(first, second);
    HANDLE found = OpenEventA(0, FALSE, "EventWithNoName");
    EXPECT_EQ(first < second ? first : second, found);
    CloseHandle(found);
    CloseHandle(first);
    CloseHandle(second);
}

TEST(Events, FullTableRefusesWithLogLineAndReusesLowestFreeRecord) {
    std::vector<HANDLE> events;
    for (;;) {
        HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (h == INVALID_HANDLE_VALUE) break;
        events.push_back(h);
        ASSERT_LE(events.size(), 5000u);
    }
    EXPECT_EQ(1088u, events.size());
    EXPECT_EQ(1, tvxtest::CountLogMessage("CreateEvent: Too many events"));
    HANDLE freed = events[500];
    EXPECT_TRUE(CloseHandle(freed));
    EXPECT_TRUE(CloseHandle(events[700]));
    HANDLE again = CreateEventA(nullptr, TRUE, FALSE, "named into the gap");
    EXPECT_EQ(freed, again);
    events[500] = again;
    events[700] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, events[700]);
    for (HANDLE h : events) EXPECT_TRUE(CloseHandle(h));
}

TEST(Events, HandlesOutsideTheTableAreRefusedAndLogged) {
    HANDLE outside = tarvex::make_handle(5000, tarvex::kTagEvent);
    EXPECT_FALSE(SetEvent(outside));
    EXPECT_FALSE(ResetEvent(outside));
    EXPECT_FALSE(PulseEvent(outside));
    EXPECT_EQ(128u, WaitForEvent(outside, 0));
    EXPECT_FALSE(CloseEvent(outside));
    for (const char* line : {"SetEvent: Invalid handle", "ResetEvent: Invalid handle",
                             "PulseEvent: Invalid handle", "WaitForEvent: Invalid handle",
                             "CloseEvent: Invalid handle"})
        EXPECT_EQ(1, tvxtest::CountLogMessage(line)) << line;
    // The invalid handle value itself fails quietly.
    EXPECT_FALSE(SetEvent(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(ResetEvent(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(PulseEvent(INVALID_HANDLE_VALUE));
    EXPECT_EQ(1, tvxtest::CountLogMessage("SetEvent: Invalid handle"));
}

TEST(Events, RecordOperationsWorkOnCallerMemory) {
    EVENT_RECORD record = {};
    ASSERT_EQ(&record, CreateEventIn(&record, TRUE, FALSE, "mine", TRUE, TRUE));
    EXPECT_STREQ("mine", record.name);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForEventIn(&record, 0));
    EXPECT_TRUE(SetEventIn(&record));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForEventIn(&record, 10));
    EXPECT_TRUE(ResetEventIn(&record));
    SetLastError(0);
    EXPECT_EQ(&record, CreateEventIn(&record, TRUE, FALSE, "mine", TRUE, TRUE));
    EXPECT_EQ(183u, GetLastError());
    EXPECT_TRUE(CloseEventIn(&record));
    EXPECT_TRUE(CloseEventIn(&record));
    EXPECT_EQ(nullptr, record.name);
    EXPECT_EQ(nullptr, CreateEventIn(nullptr, TRUE, FALSE, "x", TRUE, FALSE));
    EXPECT_EQ(128u, WaitForEventIn(nullptr, 0));
    EXPECT_FALSE(SetEventIn(nullptr));
    EXPECT_FALSE(ResetEventIn(nullptr));
    EXPECT_FALSE(PulseEventIn(nullptr));
    EXPECT_FALSE(CloseEventIn(nullptr));
}

TEST(Events, TableLockHolderCancelledLeavesTableUsable) {
    int status = tvxtest::RunInChild(
        [] {
            eventhook::g_spin_in_create = 1;
            pthread_t thread;
            pthread_create(
                &thread, nullptr,
                [](void*) -> void* {
                    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
                    CreateEventA(nullptr, TRUE, FALSE, nullptr);
                    return nullptr;
                },
                nullptr);
            for (int i = 0; i < 10000 && !eventhook::g_spinning.load(); ++i) usleep(1000);
            if (!eventhook::g_spinning.load()) return 2;
            pthread_cancel(thread);
            void* result = nullptr;
            pthread_join(thread, &result);
            if (result != PTHREAD_CANCELED) return 3;
            eventhook::g_spin_in_create = 0;
            HANDLE e = CreateEventA(nullptr, TRUE, TRUE, "after");
            if (e == INVALID_HANDLE_VALUE) return 4;
            if (WaitForSingleObject(e, 0) != WAIT_OBJECT_0) return 5;
            return CloseHandle(e) ? 0 : 6;
        },
        30);
    EXPECT_EQ(0, tvxtest::ExitCodeOf(status));
}

TEST(Events, ConcurrentSetWaitAndCloseStaySafe) {
    // Threads hammer handles that another thread keeps closing and re-creating. Results on a
    // closed handle are failures; nothing may crash, hang or touch freed primitives.
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> current{tarvex::handle_value(CreateEventA(nullptr, FALSE, FALSE, nullptr))};
    std::vector<std::thread> users;
    for (int t = 0; t < 3; ++t) {
        users.emplace_back([&, t] {
            while (!stop.load()) {
                HANDLE h = tarvex::to_handle(current.load());
                if (t == 0) SetEvent(h);
                if (t == 1) PulseEvent(h);
                if (t == 2) WaitForSingleObject(h, 1);
            }
        });
    }
    for (int round = 0; round < 300; ++round) {
        HANDLE old = tarvex::to_handle(current.load());
        HANDLE fresh = CreateEventA(nullptr, round % 2, FALSE, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, fresh);
        current = tarvex::handle_value(fresh);
        EXPECT_TRUE(CloseHandle(old));
    }
    stop = true;
    for (std::thread& t : users) t.join();
    CloseHandle(tarvex::to_handle(current.load()));
}

TEST(Events, FreeAllEventsReleasesWaitersAndTableCanBeRemade) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    {
        Waiters w(e, 2, INFINITE);
        FreeAllEvents();
        ASSERT_TRUE(w.AwaitFinished(2));
        w.Join();
        EXPECT_EQ(2, w.CountResult(WAIT_OBJECT_0));
    }
    FreeAllEvents();  // a second release is harmless
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateEventA(nullptr, TRUE, FALSE, nullptr));
    EXPECT_FALSE(SetEvent(e));
    EXPECT_EQ(0, InitEvents(4));
    std::vector<HANDLE> events;
    for (int i = 0; i < 4; ++i) events.push_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateEventA(nullptr, TRUE, FALSE, nullptr));
    for (HANDLE h : events) EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
