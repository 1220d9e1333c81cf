// Events with real threads: release rules, time-outs, names, the table's limits and the last
// close while threads still wait.
#include <windows.h>

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/handle.h"
#include "tvx_test.h"

namespace {

using tvxtest::WaitUntil;

// Waits that have counted themselves among an event's waiters (blocked, or about to block with
// the event's lock still held).
std::atomic<int> g_counted_waiters{0};
struct Events : testing::Test {
    void SetUp() override {
        tvxtest::OnHook("event-waiter-counted", [](const void*) { g_counted_waiters++; });
    }
};

// Threads that wait on one handle and record what each wait returned. The constructor returns
// once every thread has counted itself among the event's waiters.
struct Waiters {
    Waiters(HANDLE event, int count, DWORD timeout) : results_(count) {
        int before = g_counted_waiters.load();
        for (int i = 0; i < count; ++i)
            threads_.emplace_back([this, event, timeout, i] {
                results_[i] = static_cast<int>(WaitForSingleObject(event, timeout));
                finished_.fetch_add(1);
            });
        EXPECT_TRUE(WaitUntil([&] { return g_counted_waiters.load() >= before + count; }));
    }
    ~Waiters() { Count(0); }
    int Finished() const { return finished_.load(); }
    int Count(DWORD value) {  // once every wait has ended
        for (std::thread& t : threads_)
            if (t.joinable()) t.join();
        int n = 0;
        for (const auto& r : results_) n += r.load() == static_cast<int>(value);
        return n;
    }
    std::vector<std::atomic<int>> results_;
    std::vector<std::thread> threads_;
    std::atomic<int> finished_{0};
};

// Set and pulse of a manual-reset event release every waiter; the state stays until a reset.
TEST_F(Events, ManualResetReleasesEveryWaiter) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(PulseEvent(e));  // nobody waits: nothing happens
    for (BOOL (*release)(HANDLE) : {PulseEvent, SetEvent}) {
        Waiters w(e, 3, 20000);
        EXPECT_EQ(0, w.Finished());
        EXPECT_TRUE(release(e));
        EXPECT_EQ(3, w.Count(WAIT_OBJECT_0));
        // A pulse leaves the event as it was; a set leaves it signalled.
        EXPECT_EQ(release == SetEvent ? WAIT_OBJECT_0 : WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    }
    EXPECT_TRUE(ResetEvent(e));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    EXPECT_TRUE(CloseHandle(e));
}

// One set or pulse releases one waiter; a set nobody waits for stays until a wait takes it.
TEST_F(Events, AutoResetReleasesExactlyOneWaiterPerSet) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, "");  // empty name: unnamed
    Waiters w(e, 3, 20000);
    for (int released = 1; released <= 3; ++released) {
        EXPECT_TRUE(released == 2 ? PulseEvent(e) : SetEvent(e));
        ASSERT_TRUE(WaitUntil([&] { return w.Finished() >= released; })) << released;
        usleep(100000);  // no second waiter may follow the same set
        EXPECT_EQ(released, w.Finished());
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));  // the release went to a waiter
    }
    EXPECT_EQ(3, w.Count(WAIT_OBJECT_0));
    EXPECT_TRUE(SetEvent(e));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));  // a zero time-out only looks
    EXPECT_FALSE(ResetEvent(e));                            // not for auto-reset events
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 100));  // takes it
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    CloseHandle(e);
}

TEST_F(Events, TimedWaitEndsAfterTimeOutOrAtTheSet) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    long long start = tvxtest::NowMs();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 1500));
    EXPECT_GE(tvxtest::NowMs() - start, 1450);
    std::thread setter([e] { usleep(200000), SetEvent(e); });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 30000));
    setter.join();
    CloseHandle(e);
}

TEST_F(Events, LastCloseReleasesBlockedWaiters) {
    for (BOOL manual : {TRUE, FALSE}) {
        HANDLE e = CreateEventA(nullptr, manual, FALSE, "closing");
        ASSERT_EQ(e, OpenEventA(0, FALSE, "closing"));
        Waiters w(e, 3, INFINITE);
        EXPECT_TRUE(CloseHandle(e));  // one reference left: nobody is released
        usleep(50000);
        EXPECT_EQ(0, w.Finished());
        EXPECT_TRUE(CloseHandle(e));
        EXPECT_EQ(3, w.Count(WAIT_OBJECT_0)) << "manual=" << manual;
        EXPECT_FALSE(SetEvent(e));  // the record is free
        EXPECT_FALSE(CloseHandle(e));
    }
}

TEST_F(Events, NamesAreExactAndUnnamedEventsShareTheCommonName) {
    HANDLE a = CreateEventA(nullptr, TRUE, FALSE, "Shared");
    SetLastError(0);
    EXPECT_EQ(a, CreateEventA(nullptr, FALSE, TRUE, "Shared"));  // flags ignored
    EXPECT_EQ(183u, GetLastError());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(a, 0));
    HANDLE other_case = CreateEventA(nullptr, TRUE, FALSE, "shared");
    EXPECT_NE(a, other_case);
    EXPECT_EQ(a, OpenEventA(0, FALSE, "Shared"));
    EXPECT_FALSE(OpenEventA(0, FALSE, "Missing") || OpenEventA(0, FALSE, nullptr));
    EXPECT_TRUE(CloseHandle(a) && CloseHandle(a) && SetEvent(a));  // three references
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_EQ(nullptr, OpenEventA(0, FALSE, "Shared"));
    HANDLE unnamed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(unnamed, OpenEventA(0, FALSE, "EventWithNoName"));
}

TEST_F(Events, FullTableRefusesWithLogLineAndReusesLowestFreeRecord) {
    std::vector<HANDLE> events;
    for (HANDLE h; (h = CreateEventA(nullptr, FALSE, FALSE, nullptr)) != INVALID_HANDLE_VALUE;)
        events.push_back(h);
    ASSERT_EQ(1088u, events.size());
    EXPECT_EQ(1, tvxtest::CountLogMessage("CreateEvent: Too many events"));
    EXPECT_TRUE(CloseHandle(events[500]) && CloseHandle(events[700]));
    EXPECT_EQ(events[500], CreateEventA(nullptr, TRUE, FALSE, "named into the gap"));
    EXPECT_EQ(events[700], CreateEventA(nullptr, TRUE, FALSE, nullptr));
    for (HANDLE h : events) EXPECT_TRUE(CloseHandle(h));
}

// Outside the table (including the first index past its end) or on a free record: refused,
// logged; the invalid handle value itself fails quietly.
TEST_F(Events, HandlesThatNameNoEventAreRefusedAndLogged) {
    for (uint32_t index : {5000u, 1088u, 1087u}) {
        HANDLE bad = tarvex::make_handle(index, tarvex::kTagEvent);
        EXPECT_FALSE(SetEvent(bad) || ResetEvent(bad) || PulseEvent(bad) || CloseHandle(bad));
        EXPECT_EQ(128u, WaitForSingleObject(bad, 0));
    }
    for (const char* line : {"SetEvent: Invalid handle", "ResetEvent: Invalid handle",
                             "PulseEvent: Invalid handle", "WaitForEvent: Invalid handle",
                             "CloseEvent: Invalid handle"})
        EXPECT_EQ(3, tvxtest::CountLogMessage(line)) << line;
    EXPECT_FALSE(SetEvent(INVALID_HANDLE_VALUE) || PulseEvent(INVALID_HANDLE_VALUE));
    EXPECT_EQ(3, tvxtest::CountLogMessage("SetEvent: Invalid handle"));
}

TEST_F(Events, RecordOperationsWorkOnCallerMemory) {
    EVENT_RECORD record = {};
    ASSERT_EQ(&record, CreateEventIn(&record, TRUE, FALSE, "mine", TRUE, TRUE));
    EXPECT_TRUE(SetEventIn(&record));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForEventIn(&record, 10));
    SetLastError(0);
    EXPECT_EQ(&record, CreateEventIn(&record, TRUE, FALSE, "mine", TRUE, TRUE));
    EXPECT_EQ(183u, GetLastError());
    EXPECT_TRUE(CloseEventIn(&record) && CloseEventIn(&record));  // two references
    EXPECT_EQ(nullptr, record.name);
    EXPECT_FALSE(CloseEventIn(&record));
    EXPECT_EQ(nullptr, CreateEventIn(nullptr, TRUE, FALSE, "x", TRUE, FALSE));
    EXPECT_TRUE(WaitForEventIn(nullptr, 0) == 128u && !SetEventIn(nullptr) && !ResetEventIn(nullptr));
}

// A release handed to an auto-reset waiter just as its wait times out is never lost: either the
// waiter returns 0 and the event stays non-signalled, or it times out and the event holds it.
TEST_F(Events, ReleaseRacingATimeOutIsTakenOrKept) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DWORD result = 0;
    int lost = tvxtest::PlayRounds(
        3000, [&](int, const tvxtest::Go& go) { go(), result = WaitForSingleObject(e, 1); },
        [&](int round) {
            for (long long end = tvxtest::NowMs() + round % 3; tvxtest::NowMs() < end;) {
            }
            SetEvent(e);
        },
        [&](int round) {
            DWORD kept = WaitForSingleObject(e, 0);
            ASSERT_NE(result == WAIT_OBJECT_0, kept == WAIT_OBJECT_0) << "round " << round;
            if (kept == WAIT_OBJECT_0) WaitForSingleObject(e, 1);
        });
    EXPECT_EQ(0, lost);
    CloseHandle(e);
}

// The same for a waiter cancelled as the release reaches it: what it did not return, the event
// keeps, and the record counts no waiter afterwards.
TEST_F(Events, CancelledWaiterHandsItsReleaseBack) {
    EVENT_RECORD record = {};
    CreateEventIn(&record, FALSE, FALSE, "cancelled", TRUE, FALSE);
    static std::atomic<int> returned;
    for (int round = 0; round < 300; ++round) {
        returned = 0;
        int before = g_counted_waiters.load();
        pthread_t waiter;
        pthread_create(&waiter, nullptr, [](void* r) -> void* {
            if (WaitForEventIn(static_cast<EVENT_RECORD*>(r), INFINITE) == WAIT_OBJECT_0) returned = 1;
            for (;;) pthread_testcancel();
        }, &record);
        ASSERT_TRUE(WaitUntil([&] { return g_counted_waiters.load() > before; }));
        std::thread setter([&] { SetEventIn(&record); });
        if (round % 2) usleep(round % 7 * 10);
        pthread_cancel(waiter);
        setter.join();
        pthread_join(waiter, nullptr);
        DWORD kept = WaitForEventIn(&record, 0);
        ASSERT_NE(returned.load() == 1, kept == WAIT_OBJECT_0) << "round " << round;
        ASSERT_EQ(0u, record.waiters);
        if (kept == WAIT_OBJECT_0) WaitForEventIn(&record, 1);
    }
    EXPECT_TRUE(CloseEventIn(&record));
}

TEST_F(Events, FreeAllEventsReleasesWaitersAndTableCanBeRemade) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    {
        Waiters w(e, 2, INFINITE);
        FreeAllEvents();
        EXPECT_EQ(2, w.Count(WAIT_OBJECT_0));
    }
    FreeAllEvents();  // a second release is harmless
    EXPECT_TRUE(CreateEventA(nullptr, TRUE, FALSE, nullptr) == INVALID_HANDLE_VALUE && !SetEvent(e));
    EXPECT_EQ(0, InitEvents(4));
    std::vector<HANDLE> events;
    for (int i = 0; i < 4; ++i) events.push_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateEventA(nullptr, TRUE, FALSE, nullptr));
    for (HANDLE h : events) EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
