// Start-up and shutdown, each in a forked child that sets its own environment and limits and then
// starts the library: this program leaves its own process unstarted (TVX_TEST_NO_INIT), so each
// child makes a first InitNTSystem and inherits nothing from an earlier one.
#include <windows.h>

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <thread>

#include "tvx_test.h"

using tvxtest::ChildExit;

static int g_pipe[2];         // where the shut-down callback reports
static uint32_t g_sizes[2];   // files and events, as start-up tells the hook
static void Closedown() { [[maybe_unused]] ssize_t n = write(g_pipe[1], "closedown", 9); }
static void OnFault(int, siginfo_t*, void*) { _exit(99); }

// Sets (or, for null, unsets) each variable, then starts the library as a host does.
static bool Start(std::initializer_list<std::pair<const char*, const char*>> environment) {
    for (auto [name, value] : environment) value ? setenv(name, value, 1) : unsetenv(name);
    tvxtest::OnHook("init-table-sizes", [](const void* s) { memcpy(g_sizes, s, sizeof g_sizes); });
    char* argv[] = {const_cast<char*>(tvxtest::ProgramPath().c_str()), nullptr};
    return InitNTSystem(1, argv, Closedown, OnFault) == TRUE;
}

static bool Disposition(int signo, void (*handler)(int)) {
    struct sigaction now;
    return sigaction(signo, nullptr, &now) == 0 && now.sa_handler == handler;
}

// A requested file count is used without a cap; unset, zero or negative, the soft limit of open
// files, at most 4096; 1088 events unless a positive count is requested. A positive KWR_GEN_CORE
// (not one of over 10240 characters) wants core dumps: unlimited core size, SIGABRT neither
// blocked nor ignored, no fault handler. Either way QUIT and TERM are blocked, SIGPIPE is ignored
// and the umask is 027.
TEST(Startup, FirstCallSizesTablesAndSetsSignalsCoreLimitAndUmask) {
    const std::string long_text(10241, '7');
    const struct { const char *files, *events, *core; rlim_t limit; uint32_t want_files, want_events; }
        rows[] = {
        {"10000", nullptr, "1", 1024, 10000, 1088}, {nullptr, "", "0", 1024, 1024, 1088},
        {"0", "0", nullptr, 200, 200, 1088}, {nullptr, "-5", long_text.c_str(), 8192, 4096, 1088},
        {"-3", "5000", "1", 300, 300, 5000}};
    for (const auto& r : rows)
        EXPECT_EQ(ChildExit([&] {
            const bool core = r.core != nullptr && r.core[0] == '1';
            sigset_t mask;
            struct rlimit limit;
            struct sigaction fault;
            getrlimit(RLIMIT_NOFILE, &limit);
            limit = {r.limit, std::max(r.limit, limit.rlim_max)};
            umask(0);
            if (setrlimit(RLIMIT_NOFILE, &limit) ||
                !Start({{"KWR_MAX_FILES", r.files}, {"KWR_MAX_EVENTS", r.events}, {"KWR_GEN_CORE", r.core}}))
                return 255;
            pthread_sigmask(SIG_BLOCK, nullptr, &mask);
            getrlimit(RLIMIT_CORE, &limit);
            sigaction(SIGSEGV, nullptr, &fault);
            return (g_sizes[0] == r.want_files ? 0 : 1) | (g_sizes[1] == r.want_events ? 0 : 2) |
                   (sigismember(&mask, SIGQUIT) && sigismember(&mask, SIGTERM) ? 0 : 4) |
                   (sigismember(&mask, SIGABRT) == !core ? 0 : 8) |
                   (limit.rlim_cur == (core ? RLIM_INFINITY : 0) && limit.rlim_max == limit.rlim_cur
                        ? 0 : 16) |
                   ((fault.sa_sigaction == OnFault) == !core ? 0 : 32) |
                   (Disposition(SIGABRT, SIG_IGN) == !core ? 0 : 64) |
                   (Disposition(SIGPIPE, SIG_IGN) && umask(0) == 027 ? 0 : 128);
        }), 0) << "row " << &r - rows;
}

// A later InitNTSystem changes only the core switch and the umask, not Argv0 or the owner.
// SetSystemInterrupts switches the ignorable signals (SIGPIPE among them: a write to a closed pipe
// then fails instead of killing the process), SIGABRT only while core dumps are not wanted.
TEST(Startup, LaterCallsChangeOnlyTheCoreSwitchUmaskAndSignals) {
    EXPECT_EQ(ChildExit([] {
        if (!Start({{"KWR_GEN_CORE", "0"}})) return 9;
        const std::string argv0 = Argv0;
        const DWORD user = userID;
        char other[] = "/somewhere/else", *argv[] = {other, nullptr};
        umask(0);
        setenv("KWR_GEN_CORE", "1", 1);
        if (InitNTSystem(1, argv, nullptr, nullptr) != TRUE || umask(0) != 027) return 1;
        if (argv0 != Argv0 || user != userID) return 2;
        signal(SIGABRT, SIG_DFL);
        SetSystemInterrupts(0);
        if (!Disposition(SIGPIPE, SIG_DFL) || !Disposition(SIGHUP, SIG_DFL)) return 3;
        SetSystemInterrupts(1);
        if (!Disposition(SIGPIPE, SIG_IGN) || !Disposition(SIGABRT, SIG_DFL)) return 4;
        if (!Disposition(SIGUSR1, SIG_DFL)) return 5;  // not an ignorable signal
        setenv("KWR_GEN_CORE", "0", 1);
        InitNTSystem(1, argv, nullptr, nullptr);
        SetSystemInterrupts(1);
        int fds[2];
        if (!Disposition(SIGABRT, SIG_IGN) || pipe(fds) != 0 || close(fds[0]) != 0) return 6;
        return write(fds[1], "x", 1) == -1 && GetLastError() == 110 ? 0 : 7;
    }), 0);
}

// Files the library creates get the owner of the program file, or none (all ones): never root.
TEST(Startup, RootIsNeverChosenAsOwner) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to see the all-root case";
    if (access("/usr/local/lib/libtarvex.so", F_OK) == 0) GTEST_SKIP() << "owner link present";
    for (uid_t owner : {0, 4321})
        EXPECT_EQ(ChildExit([&] {
            if (chown(tvxtest::ProgramPath().c_str(), owner, owner ? owner + 1 : 0) || !Start({})) return 9;
            return userID == (owner ? owner : ~0u) && groupID == (owner ? owner + 1 : ~0u) ? 0 : 1;
        }), 0) << owner;
}

// cleanupHandler exits with the signal's number after the shut-down callback. WaitForServiceStop
// returns once SIGTERM comes, after a grace period of two seconds, having set the flag and called
// the callback.
TEST(Startup, ShutdownCallsTheCallbackThenExits) {
    char said[16] = {};
    ASSERT_EQ(pipe(g_pipe), 0);
    EXPECT_EQ(ChildExit([] { return Start({}) ? cleanupHandler(15), 1 : 9; }), 15);
    EXPECT_EQ(read(g_pipe[0], said, sizeof said), 9);
    EXPECT_EQ(ChildExit([] {
        static int flag = 0;
        if (!Start({})) return 9;
        std::thread service([] { WaitForServiceStop(&flag); });
        const long long sent = tvxtest::NowMs();
        kill(getpid(), SIGTERM);  // blocked in every thread: it waits for the service thread
        service.join();
        return (flag == 1 ? 0 : 1) | (tvxtest::NowMs() - sent >= 2000 ? 0 : 2);
    }), 0);
    EXPECT_EQ(read(g_pipe[0], said, sizeof said), 9);
}

// Exports reached before start-up fail cleanly or work, never crash.
TEST(Startup, ExportsBeforeStartupFailCleanly) {
    EXPECT_EQ(ChildExit([] {
        const HANDLE bogus = reinterpret_cast<HANDLE>(34);
        char buf[8];
        CRITICAL_SECTION cs;
        UnixLog("before start-up %d", 1);
        SetLastError(5);
        if (GetLastError() != 5 || CreateEventA(nullptr, TRUE, FALSE, nullptr) != INVALID_HANDLE_VALUE ||
            SetEvent(bogus) || WaitForSingleObject(bogus, 10) != 128 || CloseHandle(bogus) ||
            OpenEventA(0, FALSE, "x") != nullptr)
            return 1;
        CleanupNTResources();
        FreeAllEvents();
        if (strcmp(Strcpy(buf, "abcdefghij", sizeof buf), "abcdefg") != 0) return 2;
        HANDLE s = CreateSemaphoreA(nullptr, 1, 1, nullptr);
        if (s == INVALID_HANDLE_VALUE || WaitForSingleObject(s, 0) != WAIT_OBJECT_0 || !CloseHandle(s))
            return 3;
        InitializeCriticalSection(&cs);
        EnterCriticalSection(&cs);
        LeaveCriticalSection(&cs);
        DeleteCriticalSection(&cs);
        return 0;
    }), 0);
}
