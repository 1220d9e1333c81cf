// Starts the library in a fresh process and reports what start-up did, for tests that must see a
// first InitNTSystem (the test programs themselves are already initialised).
//
//   tvx_init_probe report        print table sizes, blocked signals, core limit, fault handler
//   tvx_init_probe cleanup       call cleanupHandler(15) (exits 15 after the shutdown callback)
//   tvx_init_probe servicestop   wait in WaitForServiceStop until SIGTERM arrives
//   tvx_init_probe preinit       call exports before InitNTSystem; exit 0 if none crashed
#include <windows.h>

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

unsigned g_files = 0, g_events = 0;

struct TableSizes {
    uint32_t files;
    uint32_t events;
};

void on_closedown() {
    printf("closedown\n");
    fflush(stdout);
}

void on_fault(int, siginfo_t*, void*) { _exit(99); }

int report() {
    printf("files=%u events=%u\n", g_files, g_events);
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    printf("blocked QUIT=%d TERM=%d ABRT=%d\n", sigismember(&mask, SIGQUIT),
           sigismember(&mask, SIGTERM), sigismember(&mask, SIGABRT));
    struct rlimit core;
    getrlimit(RLIMIT_CORE, &core);
    printf("core=%s\n", core.rlim_cur == RLIM_INFINITY && core.rlim_max == RLIM_INFINITY ? "unlimited"
                        : core.rlim_cur == 0 && core.rlim_max == 0                          ? "0"
                                                                                            : "other");
    struct sigaction action;
    sigaction(SIGSEGV, nullptr, &action);
    bool fault = (action.sa_flags & SA_SIGINFO) && action.sa_sigaction == on_fault;
    printf("fault_handler=%d\n", fault ? 1 : 0);
    sigaction(SIGABRT, nullptr, &action);
    printf("abrt_ignored=%d\n", action.sa_handler == SIG_IGN ? 1 : 0);
    sigaction(SIGPIPE, nullptr, &action);
    printf("pipe_ignored=%d\n", action.sa_handler == SIG_IGN ? 1 : 0);
    printf("umask=%03o\n", umask(027));
    printf("userID=%d groupID=%d\n", (int)(LONG)userID, (int)(LONG)groupID);
    return 0;
}

void* service_thread(void* flag) {
    WaitForServiceStop(static_cast<int*>(flag));
    printf("stopped flag=%d\n", *static_cast<int*>(flag));
    fflush(stdout);
    _exit(0);
}

int preinit() {
    // Exports reached before start-up must fail cleanly or work, never crash.
    UnixLog("before start-up %d", 1);
    SetLastError(5);
    if (GetLastError() != 5) return 1;
    if (CreateEventA(nullptr, TRUE, FALSE, nullptr) != INVALID_HANDLE_VALUE) return 2;
    if (SetEvent(reinterpret_cast<HANDLE>(34)) != FALSE) return 3;
    if (WaitForSingleObject(reinterpret_cast<HANDLE>(34), 10) != 128) return 4;
    if (CloseHandle(reinterpret_cast<HANDLE>(34)) != FALSE) return 5;
    if (OpenEventA(0, FALSE, "x") != nullptr) return 6;
    CleanupNTResources();
    FreeAllEvents();
    char buf[8];
    Strcpy(buf, "abcdefghij", sizeof buf);
    if (strcmp(buf, "abcdefg") != 0) return 7;
    HANDLE s = CreateSemaphoreA(nullptr, 1, 1, nullptr);
    if (s == INVALID_HANDLE_VALUE || WaitForSingleObject(s, 0) != WAIT_OBJECT_0) return 8;
    CloseHandle(s);
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    DeleteCriticalSection(&cs);
    return 0;
}

}  // namespace

extern "C" void TarvexTestHook(const char* where, const void* detail) {
    if (strcmp(where, "init-table-sizes") == 0 && detail != nullptr) {
        const TableSizes* sizes = static_cast<const TableSizes*>(detail);
        g_files = sizes->files;
        g_events = sizes->events;
    }
}

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "report";
    if (strcmp(mode, "preinit") == 0) return preinit();
    char* args[] = {argv[0], nullptr};
    BOOL started = InitNTSystem(1, args, on_closedown, on_fault);
    setvbuf(stdout, nullptr, _IONBF, 0);
    printf("started=%d\n", started);
    if (strcmp(mode, "report") == 0) return report();
    if (strcmp(mode, "cleanup") == 0) cleanupHandler(15);
    if (strcmp(mode, "servicestop") == 0) {
        static int flag = 0;
        pthread_t thread;
        pthread_create(&thread, nullptr, service_thread, &flag);
        printf("ready\n");
        pthread_join(thread, nullptr);
        return 3;
    }
    return 2;
}
