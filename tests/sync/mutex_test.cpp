// Mutexes: ownership between processes, refused names, recursion, polling waits, the last close.
#include <windows.h>

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>

#include "tvx_test.h"

// The base directory start-up would find in the private layout.
extern "C" char RegBaseDir[260];
char RegBaseDir[260];

namespace {

const HANDLE kNone = INVALID_HANDLE_VALUE;

struct Layout : ::testing::Environment {
    void SetUp() override { Strcpy(RegBaseDir, (tvxtest::Root() + "/mail/").c_str(), 260); }
};
const ::testing::Environment* const kLayout = ::testing::AddGlobalTestEnvironment(new Layout);

bool Exists(const std::string& path) { struct stat st; return stat(path.c_str(), &st) == 0; }
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

// Process A (this one) and process B meet on one name; `step` orders them, and each side checks
// that the other's call returned only after its own step. B is forked before A touches a lock.
TEST(Mutexes, NamedMutexIsOwnedByOneProcessAtATime) {
    auto* step = static_cast<std::atomic<int>*>(
        mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    auto until = [step](int n) { return tvxtest::WaitUntil([=] { return step->load() >= n; }); };
    int b_result = -1;
    std::thread b([&] { b_result = tvxtest::ChildExit([&] {
        step->store(1);
        if (!until(2)) return 1;
        HANDLE h = CreateMutexA(nullptr, FALSE, "Spool");  // blocks while A owns it
        if (h == INVALID_HANDLE_VALUE || step->load() != 3) return 2;
        step->store(4), until(5);
        long long start = tvxtest::NowMs();
        if (WaitForSingleObject(h, 500) != WAIT_TIMEOUT || tvxtest::NowMs() - start < 490) return 3;
        step->store(6);
        if (WaitForSingleObject(h, 10000) != WAIT_OBJECT_0 || step->load() != 7) return 4;
        return ReleaseMutex(h) && CloseHandle(h) ? 0 : 5;
    }); });
    ASSERT_TRUE(until(1));
    HANDLE a = CreateMutexA(nullptr, TRUE, "Spool");
    ASSERT_NE(INVALID_HANDLE_VALUE, a);
    EXPECT_EQ(0u, GetLastError());
    step->store(2), usleep(300000), step->store(3);
    EXPECT_TRUE(ReleaseMutex(a));
    EXPECT_TRUE(until(4));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(a, INFINITE));  // B created without owning it
    step->store(5), until(6), usleep(100000), step->store(7);
    EXPECT_TRUE(CloseHandle(a));  // the owner's close lets B in
    b.join();
    EXPECT_EQ(0, b_result);
    EXPECT_TRUE(Exists(LockFile("Spool")));  // lock files stay
}

TEST(Mutexes, NamesThatCouldLeaveTmpOrNotFitAreRefused) {
    ASSERT_EQ(0, mkdir((tvxtest::Root() + "/mail/tmp/.Mutex.d").c_str(), 0775));
    const std::string fits(259 - strlen(RegBaseDir) - strlen("tmp/.Mutex."), 'n');
    for (const std::string& name : {std::string("d/../../escape"), std::string("/x"), fits + "n"}) {
        EXPECT_EQ(INVALID_HANDLE_VALUE, CreateMutexA(nullptr, TRUE, name.c_str())) << name;
        EXPECT_EQ(123u, GetLastError());
        EXPECT_EQ(1, tvxtest::CountLogMessage("CreateMutex: invalid name " + name.substr(0, 200)));
        EXPECT_TRUE(OpenMutexA(0, FALSE, name.c_str()) == kNone && GetLastError() == 123);
    }
    EXPECT_FALSE(Exists(tvxtest::Root() + "/mail/escape"));
    EXPECT_TRUE(CloseHandle(CreateMutexA(nullptr, TRUE, fits.c_str())));
}

// Alike for both kinds: recursion, release by a stranger, one name once per process.
TEST(Mutexes, OwnerAcquiresRecursivelyAndOnlyTheLastReleaseLetsOthersIn) {
    for (const char* name : {static_cast<const char*>(nullptr), "", "Recursive"}) {
        HANDLE h = CreateMutexA(nullptr, TRUE, name);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 0));
        EXPECT_FALSE(OnOtherThread([h] { return ReleaseMutex(h); }));
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(ReleaseMutex(h));
        EXPECT_EQ(WAIT_TIMEOUT, OnOtherThread([h] { return WaitForSingleObject(h, 0); }));
        EXPECT_TRUE(ReleaseMutex(h));
        EXPECT_FALSE(ReleaseMutex(h));
        EXPECT_EQ(WAIT_OBJECT_0, OnOtherThread([h] { return WaitForSingleObject(h, 0); }));
        EXPECT_TRUE(CloseHandle(h));
    }
    HANDLE h = CreateMutexA(nullptr, FALSE, "Once");
    EXPECT_TRUE(CreateMutexA(nullptr, FALSE, "Once") == kNone && GetLastError() == 6);
    EXPECT_EQ(h, OpenMutexA(0, FALSE, "Once"));
    EXPECT_TRUE(CloseHandle(h) && WaitForSingleObject(h, 0) == WAIT_OBJECT_0 && ReleaseMutex(h));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(!CloseHandle(h) && GetLastError() == 6);  // a freed record is no mutex to close
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenMutexA(0, FALSE, "Once"));
}

TEST(Mutexes, TimedWaitsPollEveryTenMilliseconds) {
    for (const char* name : {static_cast<const char*>(nullptr), "Polled"}) {
        HANDLE h = CreateMutexA(nullptr, TRUE, name);
        for (DWORD timeout : {0u, 25u, 100u}) {
            long long start = tvxtest::NowMs();
            EXPECT_EQ(WAIT_TIMEOUT, OnOtherThread([=] { return WaitForSingleObject(h, timeout); }));
            EXPECT_GE(tvxtest::NowMs() - start, static_cast<long long>(timeout) - 1);
            EXPECT_LT(tvxtest::NowMs() - start, timeout + 200);
        }
        EXPECT_TRUE(CloseHandle(h));
    }
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
