// Mutexes: ownership between processes, refused names, recursion, polling waits, the last close.
#include <windows.h>

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "tvx_test.h"

namespace {

const HANDLE kNone = INVALID_HANDLE_VALUE;

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
std::string LockFile(const char* name) { return tvxtest::Root() + "/mail/tmp/.Mutex." + name; }

// Whether another process can lock the named mutex's lock file at once.
bool FreeForOtherProcesses(const char* name) {
    return tvxtest::ChildExit([&] {
        return OpenSharedFile(LockFile(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS,
                              0, 0) < 0;
    }) == 0;
}

// What `call` returns on another thread.
DWORD OnOtherThread(const std::function<DWORD()>& call) {
    DWORD r = 0;
    return std::thread([&] { r = call(); }).join(), r;
}

// A step counter shared with forked children.
struct Steps {
    std::atomic<int>* step = static_cast<std::atomic<int>*>(
        mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    bool Until(int n) const { return tvxtest::WaitUntil([this, n] { return *step >= n; }); }
    int Now() const { return *step; }
    void Set(int n) const { *step = n; }
};

// Process A (this one) and process B meet on one name; each side checks that the other's call
// returned only after its own step. B is forked before A touches a lock.
TEST(Mutexes, NamedMutexIsOwnedByOneProcessAtATime) {
    Steps s;
    int b_result = -1;
    std::thread b([&] { b_result = tvxtest::ChildExit([&] {
        s.Set(1), s.Until(2);
        HANDLE h = CreateMutexA(nullptr, FALSE, "Spool");  // blocks while A owns it
        if (h == kNone || s.Now() != 3) return 2;
        s.Set(4), s.Until(5);
        long long start = tvxtest::NowMs();
        if (WaitForSingleObject(h, 500) != WAIT_TIMEOUT || tvxtest::NowMs() - start < 490) return 3;
        s.Set(6);
        if (WaitForSingleObject(h, 10000) != WAIT_OBJECT_0 || s.Now() != 7) return 4;
        return ReleaseMutex(h) && CloseHandle(h) ? 0 : 5;
    }); });
    ASSERT_TRUE(s.Until(1));
    HANDLE a = CreateMutexA(nullptr, TRUE, "Spool");
    EXPECT_TRUE(a != kNone && GetLastError() == 0);
    s.Set(2), usleep(300000), s.Set(3);
    EXPECT_TRUE(ReleaseMutex(a) && s.Until(4));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(a, INFINITE));  // B created without owning it
    s.Set(5), s.Until(6), usleep(100000), s.Set(7);
    EXPECT_TRUE(CloseHandle(a));  // the owner's close lets B in
    b.join();
    EXPECT_EQ(0, b_result);
    EXPECT_TRUE(Exists(LockFile("Spool")));  // lock files stay
}

TEST(Mutexes, NamesThatCouldLeaveTmpOrNotFitAreRefused) {
    ASSERT_EQ(0, mkdir(LockFile("d").c_str(), 0775));
    const std::string fits(259 - strlen(RegBaseDir) - strlen("tmp/.Mutex."), 'n');
    for (const std::string& name : {std::string("d/../../escape"), std::string("/x"), fits + "n"}) {
        EXPECT_TRUE(CreateMutexA(nullptr, TRUE, name.c_str()) == kNone && GetLastError() == 123);
        EXPECT_EQ(1, tvxtest::CountLogMessage("CreateMutex: invalid name " + name.substr(0, 200)));
        EXPECT_TRUE(OpenMutexA(0, FALSE, name.c_str()) == kNone && GetLastError() == 123);
    }
    EXPECT_FALSE(Exists(tvxtest::Root() + "/mail/escape"));
    EXPECT_TRUE(CloseHandle(CreateMutexA(nullptr, TRUE, fits.c_str())));
}

// Alike for both kinds: recursion, release by a stranger, polling, one name once per process.
TEST(Mutexes, OwnerAcquiresRecursivelyAndOnlyTheLastReleaseLetsOthersIn) {
    for (const char* name : {static_cast<const char*>(nullptr), "", "Recursive"}) {
        HANDLE h = CreateMutexA(nullptr, TRUE, name);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 0));
        EXPECT_FALSE(OnOtherThread([h] { return ReleaseMutex(h); }));
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(ReleaseMutex(h));
        long long start = tvxtest::NowMs();  // one try, and one after each 10 ms: four
        EXPECT_EQ(WAIT_TIMEOUT, OnOtherThread([h] { return WaitForSingleObject(h, 25); }));
        EXPECT_TRUE(tvxtest::NowMs() - start >= 29 && ReleaseMutex(h) && !ReleaseMutex(h));
        EXPECT_EQ(WAIT_OBJECT_0, OnOtherThread([h] { return WaitForSingleObject(h, 0); }));
        EXPECT_TRUE(CloseHandle(h));
    }
    HANDLE h = CreateMutexA(nullptr, FALSE, "Once");
    EXPECT_TRUE(CreateMutexA(nullptr, FALSE, "Once") == kNone && GetLastError() == 6);
    EXPECT_EQ(h, OpenMutexA(0, FALSE, "Once"));
    EXPECT_TRUE(CloseHandle(h) && WaitForSingleObject(h, 0) == WAIT_OBJECT_0 && CloseHandle(h));
    EXPECT_TRUE(!CloseHandle(h) && GetLastError() == 6);  // a freed record is no mutex to close
    EXPECT_EQ(kNone, OpenMutexA(0, FALSE, "Once"));
}

// Closing the last handle of a mutex another thread owns ends it: waiters fail, the record's
// next mutex starts free, and the lock file is free for other processes.
TEST(Mutexes, LastCloseEndsAMutexWhoeverOwnsIt) {
    for (const char* name : {static_cast<const char*>(nullptr), "Orphan"}) {
        HANDLE h = CreateMutexA(nullptr, FALSE, name);
        std::thread([h] { WaitForSingleObject(h, 0), WaitForSingleObject(h, 0); }).join();
        std::atomic<int> failed{0};
        auto waiter = [&](DWORD ms) { failed += WaitForSingleObject(h, ms) == WAIT_FAILED; };
        std::thread waiters[] = {std::thread(waiter, INFINITE), std::thread(waiter, 60000)};
        usleep(50000);
        EXPECT_EQ(0, failed.load());
        EXPECT_TRUE(CloseHandle(h));
        for (std::thread& t : waiters) t.join();
        EXPECT_EQ(2, failed.load());
        EXPECT_TRUE(name == nullptr || FreeForOtherProcesses(name));
        EXPECT_EQ(h, CreateMutexA(nullptr, FALSE, name));  // the same record, free again
        EXPECT_EQ(WAIT_OBJECT_0, OnOtherThread([=] { return WaitForSingleObject(h, 0); }));
        EXPECT_TRUE(CloseHandle(h));
    }
}

// A create cancelled while another process owns the name leaves neither mutexlock nor the path
// held: the first cancellation point it reaches is the wait for the lock file.
TEST(Mutexes, CreateCancelledWhileWaitingLeavesNothingHeld) {
    Steps s;
    std::thread holder([&] { tvxtest::ChildExit([&] {
        return CreateMutexA(nullptr, TRUE, "Held"), s.Set(1), s.Until(2), 0;
    }); });
    ASSERT_TRUE(s.Until(1));
    pthread_t creator;
    pthread_create(&creator, nullptr, [](void*) { return CreateMutexA(nullptr, FALSE, "Held"); },
                   nullptr);
    usleep(50000), pthread_cancel(creator), pthread_join(creator, nullptr);
    EXPECT_TRUE(CloseHandle(CreateMutexA(nullptr, TRUE, "Other")));
    s.Set(2), holder.join();
    EXPECT_TRUE(CloseHandle(CreateMutexA(nullptr, TRUE, "Held")));
}

TEST(Mutexes, FreeAllGivesBackLockFilesAndMayRepeat) {
    HANDLE h = CreateMutexA(nullptr, TRUE, "Freed");
    FreeAllMutexes();
    FreeAllMutexes();
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(h, 0));
    EXPECT_TRUE(CreateMutexA(nullptr, FALSE, nullptr) == kNone && GetLastError() == 4);
    EXPECT_TRUE(FreeForOtherProcesses("Freed"));
    EXPECT_EQ(0, InitMutexes(8));
}

}  // namespace
