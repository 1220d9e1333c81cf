// Start-up and shutdown, each in a forked child making a first InitNTSystem (TVX_TEST_NO_INIT is set).
#include <windows.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <thread>
#include "tvx_test.h"

using namespace tvxtest;

static int g_pipe[2];         // where the shut-down callback reports
static uint32_t g_sizes[2];   // files and events, as start-up tells the hook
static void Closedown() { [[maybe_unused]] ssize_t n = write(g_pipe[1], "closedown", 9); }
static void OnFault(int, siginfo_t*, void*) { _exit(99); }

// Sets (or, for null, unsets) each variable, then starts the library as a host does.
static bool Start(std::initializer_list<std::pair<const char*, const char*>> environment) {
    for (auto [name, value] : environment) value ? setenv(name, value, 1) : unsetenv(name);
    OnHook("init-table-sizes", [](const void* s) { memcpy(g_sizes, s, sizeof g_sizes); });
    char* argv[] = {const_cast<char*>(ProgramPath().c_str()), nullptr};
    return InitNTSystem(1, argv, Closedown, OnFault) == TRUE;
}

// 0, or the place (from 1) of the first failed check; a braced list is evaluated in order.
static int FirstFailed(std::initializer_list<bool> checks) {
    const auto failed = std::find(checks.begin(), checks.end(), false);
    return failed == checks.end() ? 0 : int(failed - checks.begin()) + 1;
}
static bool HandlerIs(int s, sighandler_t f) { struct sigaction a; return !sigaction(s, 0, &a) && a.sa_handler == f; }
static bool Blocked(int sig) { sigset_t m; return !pthread_sigmask(0, 0, &m) && sigismember(&m, sig) == 1; }

// Files: as asked, else the soft limit (<= 4096); events: 1088 unless more asked. KWR_GEN_CORE (> 0, short)
// means no core limit, SIGABRT live, no fault handler. Always QUIT, TERM blocked, SIGPIPE ignored, umask 027.
TEST(Startup, FirstCallSizesTablesAndSetsSignalsCoreLimitAndUmask) {
    const std::string long_text(10241, '7');
    const struct { const char *files, *events, *core; rlim_t limit; uint32_t want[2]; } rows[] = {
        {"10000", nullptr, "1", 1024, {10000, 1088}}, {nullptr, "", "0", 1024, {1024, 1088}},
        {"0", "0", nullptr, 200, {200, 1088}}, {nullptr, "-5", long_text.c_str(), 8192, {4096, 1088}},
        {"-3", "5000", "1", 300, {300, 5000}}};
    for (const auto& r : rows)
        EXPECT_EQ(ChildExit([&] {
            const bool core = r.core != nullptr && r.core[0] == '1';
            struct rlimit files, dumps;
            struct sigaction fault;
            return FirstFailed({(getrlimit(RLIMIT_NOFILE, &files), files.rlim_cur = r.limit, umask(0), true),
                (files.rlim_max = std::max(r.limit, files.rlim_max), setrlimit(RLIMIT_NOFILE, &files) == 0),
                Start({{"KWR_MAX_FILES", r.files}, {"KWR_MAX_EVENTS", r.events}, {"KWR_GEN_CORE", r.core}}),
                g_sizes[0] == r.want[0], g_sizes[1] == r.want[1], Blocked(SIGQUIT) && Blocked(SIGTERM),
                Blocked(SIGABRT) == !core, HandlerIs(SIGABRT, SIG_IGN) == !core,
                getrlimit(RLIMIT_CORE, &dumps) == 0 && dumps.rlim_cur == (core ? RLIM_INFINITY : 0),
                dumps.rlim_max == dumps.rlim_cur, sigaction(SIGSEGV, nullptr, &fault) == 0,
                (fault.sa_sigaction == OnFault) == !core, HandlerIs(SIGPIPE, SIG_IGN), umask(0) == 027});
        }), 0) << "row " << &r - rows;
}

// A later start changes only core switch and umask; SetSystemInterrupts toggles ignorable signals (SIGABRT: no core).
TEST(Startup, LaterCallsChangeOnlyTheCoreSwitchUmaskAndSignals) {
    EXPECT_EQ(ChildExit([] {
        const bool started = Start({{"KWR_GEN_CORE", "0"}});
        const std::string owner = Argv0 + std::to_string(userID);  // Argv0 and the owner stay
        char other[] = "/somewhere/else", *argv[] = {other, nullptr};
        int fds[2];
        return FirstFailed({started, (umask(0), setenv("KWR_GEN_CORE", "1", 1), InitNTSystem(1, argv, 0, 0) == TRUE),
            umask(0) == 027, owner == Argv0 + std::to_string(userID),
            (signal(SIGABRT, SIG_DFL), SetSystemInterrupts(0), HandlerIs(SIGPIPE, SIG_DFL)),
            HandlerIs(SIGHUP, SIG_DFL), (SetSystemInterrupts(1), HandlerIs(SIGPIPE, SIG_IGN)),
            HandlerIs(SIGABRT, SIG_DFL), HandlerIs(SIGUSR1, SIG_DFL),  // not an ignorable signal
            (setenv("KWR_GEN_CORE", "0", 1), InitNTSystem(1, argv, 0, 0), SetSystemInterrupts(1), true),
            HandlerIs(SIGABRT, SIG_IGN), pipe(fds) == 0 && close(fds[0]) == 0,
            write(fds[1], "x", 1) == -1 && GetLastError() == 110});
    }), 0);
}

// Files the library creates get the owner of the program file, or none (all ones): never root.
TEST(Startup, RootIsNeverChosenAsOwner) {
    if (getuid() || !access("/usr/local/lib/libtarvex.so", F_OK)) GTEST_SKIP() << "not root, or linked";
    for (uid_t owner : {0u, 4321u})  // its group: one more, or root's
        EXPECT_EQ(ChildExit([&] { return FirstFailed({!chown(ProgramPath().c_str(), owner, owner + !!owner),
            Start({}), userID == (owner ? owner : ~0u), groupID == (owner ? owner + 1 : ~0u)}); }), 0) << owner;
}

// cleanupHandler calls back, then exits with the signal; WaitForServiceStop does so 2 s after SIGTERM.
TEST(Startup, ShutdownCallsTheCallbackThenExits) {
    char said[16] = {};
    ASSERT_EQ(pipe(g_pipe), 0);
    EXPECT_EQ(ChildExit([] { return Start({}) ? cleanupHandler(15), 1 : 9; }), 15);
    EXPECT_EQ(read(g_pipe[0], said, sizeof said), 9);
    EXPECT_EQ(ChildExit([&] {
        static int flag = 0;
        const bool started = Start({});
        std::thread service([] { WaitForServiceStop(&flag); });
        const long long sent = (kill(getpid(), SIGTERM), NowMs());  // blocked in all threads but the service's
        service.join();
        return FirstFailed({started, flag == 1, NowMs() - sent >= 2000, read(g_pipe[0], said, 16) == 9});
    }), 0);
}

// Exports reached before start-up fail cleanly or work, never crash.
TEST(Startup, ExportsBeforeStartupFailCleanly) {
    EXPECT_EQ(ChildExit([] {
        HANDLE bogus = reinterpret_cast<HANDLE>(34), s = nullptr;
        char buf[8];
        CRITICAL_SECTION cs;
        return FirstFailed({(UnixLog("before start-up %d", 1), SetLastError(5), GetLastError() == 5),
            CreateEventA(nullptr, TRUE, FALSE, nullptr) == INVALID_HANDLE_VALUE, !SetEvent(bogus),
            WaitForSingleObject(bogus, 10) == 128, !CloseHandle(bogus), OpenEventA(0, FALSE, "x") == nullptr,
            (CleanupNTResources(), FreeAllEvents(), !strcmp(Strcpy(buf, "abcdefghij", sizeof buf), "abcdefg")),
            (s = CreateSemaphoreA(nullptr, 1, 1, nullptr)) != INVALID_HANDLE_VALUE,
            WaitForSingleObject(s, 0) == WAIT_OBJECT_0 && CloseHandle(s),
            (InitializeCriticalSection(&cs), EnterCriticalSection(&cs), LeaveCriticalSection(&cs), true),
            (DeleteCriticalSection(&cs), true)});
    }), 0);
}
