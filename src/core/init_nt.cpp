// Start-up, shutdown and the process's signal dispositions.
//
// Owns InitMutex, the Initialised flag, the host's shutdown callback, the core-dump switch and the
// exported Argv0, userID and groupID. InitNTSystem sizes the tables, runs each kind's Init step in
// a fixed order and registers CleanupNTResources, which runs each kind's FreeAll step; both orders
// are the tables kInitSteps and kShutdownSteps below, and a new kind joins by adding its row.
#include <tarvex/core.h>
#include <tarvex/files.h>
#include <tarvex/module.h>
#include <tarvex/pipe.h>
#include <tarvex/proc.h>
#include <tarvex/registry.h>
#include <tarvex/shm.h>
#include <tarvex/sync.h>
#include <tarvex/text.h>
#include <tarvex/time.h>

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include "core/lock.h"
#include "core/test_hook.h"

extern "C" {
TARVEX_API char Argv0[260];
TARVEX_API DWORD userID = 0xFFFFFFFFu;
TARVEX_API DWORD groupID = 0xFFFFFFFFu;
}

namespace tarvex {
namespace {

constinit TableLock InitMutex;
int Initialised = 0;
TARVEX_CLOSEDOWN closedown = nullptr;
volatile sig_atomic_t g_fGenCore = 0;

constexpr int kIgnorableSignal[18] = {SIGHUP,    SIGINT,  SIGTRAP, SIGPIPE, SIGALRM,   SIGPWR,
                                      SIGWINCH,  SIGURG,  SIGIO,   SIGTSTP, SIGCONT,   SIGTTIN,
                                      SIGTTOU,   SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGSYS};
constexpr int kFaultSignals[] = {SIGILL, SIGTRAP, SIGFPE, SIGBUS, SIGSEGV, SIGXCPU};
constexpr uint32_t kDefaultFileCount = 4096;
constexpr uint32_t kDefaultEventCount = 1088;
constexpr size_t kEnvTextLimit = 10240;
constexpr char kOwnerLink[] = "/usr/local/lib/libtarvex.so";

struct TableSizes {
    uint32_t files;
    uint32_t events;
};

// Start-up steps in the order they must run. Each returns non-zero on failure; a failure is
// logged with the row's message and makes InitNTSystem return 0, and the later rows still run.
struct InitStep {
    const char* failure_message;  // null: the step reports nothing
    int (*run)(const TableSizes&);
};

constexpr InitStep kInitSteps[] = {
    {nullptr, [](const TableSizes&) { InitNTError(); return 0; }},
    {nullptr, [](const TableSizes&) { InitRegistry(); return 0; }},
    {"InitFiles failed",
     [](const TableSizes& sizes) { return InitFiles(static_cast<int>(sizes.files)); }},
    {"InitFindFiles failed",
     [](const TableSizes& sizes) { return InitFindFiles(static_cast<int>(sizes.files)); }},
    {"InitMutexes failed",
     [](const TableSizes& sizes) { return InitMutexes(static_cast<int>(sizes.files)); }},
    {"InitEvents failed", [](const TableSizes& sizes) { return InitEvents(sizes.events); }},
    {"InitPipes failed", [](const TableSizes& sizes) { return InitPipes(sizes.files); }},
    {"InitSemaphores failed", [](const TableSizes&) { return InitSemaphores(); }},
    {"InitSharedMemory failed", [](const TableSizes&) { return InitSharedMemory(); }},
    {"InitTLSSlots failed", [](const TableSizes&) { return InitTLSSlots(); }},
    {"InitLibraries failed", [](const TableSizes&) { return InitLibraries(); }},
    {"InitProcesses failed", [](const TableSizes&) { return InitProcesses(); }},
    {"InitThreads failed", [](const TableSizes&) { return InitThreads(); }},
};

// Release steps run by CleanupNTResources, in order. Each must be harmless on a table that an
// earlier run already released, since the cleanup can run more than once (atexit, host, handler).
// Events and semaphores are deliberately absent: threads that outlive main may still use them.
// Libraries go first: a module's detach may still use the other kinds' objects. Mutexes go before
// files: their lock files are given back through the share table; so do the backing files of
// mappings, which are closed as file handles.
constexpr std::array<void (*)(), 5> kShutdownSteps = {
    [] { FreeAllLibraries(); }, FreeAllMutexes, [] { FreeAllSharedMemory(); }, FreeAllFiles,
    FreeAllThreads};

// strtol/strtoul on the leading digits, as the environment variables have always been read.
long parse_signed(const char* text) {
    if (text == nullptr) return 0;
    if (strlen(text) > kEnvTextLimit) text = "<String too long>";
    return strtol(text, nullptr, 10);
}

unsigned long parse_unsigned(const char* text) {
    if (text == nullptr || text[0] == '\0') return 0;
    return strtoul(text, nullptr, 10);
}

// The owner and group that files created by the library get. Root is never chosen: a source that
// names root is skipped, and when every source is root both stay all ones (left alone).
void find_owner_and_group() {
    userID = 0xFFFFFFFFu;
    groupID = 0xFFFFFFFFu;
    char target[520];
    ssize_t n = Readlink(kOwnerLink, target, 519);
    if (n >= 0) {
        target[n] = '\0';
        // A relative link target is relative to the link's own directory, not to our cwd.
        char resolved[1100];
        if (target[0] != '/')
            Snprintf(resolved, sizeof resolved, "/usr/local/lib/%s", target);
        else
            Strcpy(resolved, target, sizeof resolved);
        struct stat st;
        if (Stat(resolved, &st) == 0) {
            if (st.st_uid != 0) userID = st.st_uid;
            if (st.st_gid != 0) groupID = st.st_gid;
        }
    }
    if (userID == 0xFFFFFFFFu && getuid() != 0) userID = getuid();
    if (groupID == 0xFFFFFFFFu && getgid() != 0) groupID = getgid();
    struct stat st;
    if (Argv0[0] != '\0' && Stat(Argv0, &st) == 0) {
        if (userID == 0xFFFFFFFFu && st.st_uid != 0) userID = st.st_uid;
        if (groupID == 0xFFFFFFFFu && st.st_gid != 0) groupID = st.st_gid;
    }
}

uint32_t compute_file_count(unsigned long requested) {
    if (static_cast<int32_t>(static_cast<uint32_t>(requested)) > 0)
        return static_cast<uint32_t>(requested);
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return kDefaultFileCount;
    if (limit.rlim_cur == RLIM_INFINITY) return kDefaultFileCount;
    uint32_t low = static_cast<uint32_t>(limit.rlim_cur);
    if (low == 0 || low > kDefaultFileCount) return kDefaultFileCount;
    return low;
}

uint32_t compute_event_count(unsigned long requested) {
    if (static_cast<int32_t>(static_cast<uint32_t>(requested)) > 0)
        return static_cast<uint32_t>(requested);
    return kDefaultEventCount;
}

void set_core_limit() {
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = g_fGenCore ? RLIM_INFINITY : 0;
    setrlimit(RLIMIT_CORE, &limit);
}

void stop_signal_set(sigset_t* set) {
    sigemptyset(set);
    sigaddset(set, SIGQUIT);
    sigaddset(set, SIGTERM);
    if (!g_fGenCore) sigaddset(set, SIGABRT);
}

// Without SA_RESTART, like the fault handler: the wrappers restart what it interrupts. Every
// signal is held off while it runs, so it never interrupts itself.
void install_child_handler() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    sigfillset(&action.sa_mask);
    action.sa_sigaction = SigChldHandler;
    action.sa_flags = SA_SIGINFO;
    sigaction(SIGCHLD, &action, nullptr);
}

void install_fault_handler(TARVEX_FAULT_HANDLER handler) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_sigaction = handler;
    action.sa_flags = SA_SIGINFO;
    for (int signo : kFaultSignals) sigaction(signo, &action, nullptr);
}

BOOL run_first_start(char** argv, const TableSizes& sizes, TARVEX_FAULT_HANDLER fault_handler) {
    Strcpy(Argv0, (argv != nullptr && argv[0] != nullptr) ? argv[0] : "", sizeof Argv0);
    Initialised = 1;
    find_owner_and_group();
    set_core_limit();
    test_hook("init-table-sizes", &sizes);

    BOOL result = TRUE;
    for (const InitStep& step : kInitSteps) {
        if (step.run(sizes) != 0 && step.failure_message != nullptr) {
            UnixLog("%s", step.failure_message);
            result = FALSE;
        }
    }
    atexit(CleanupNTResources);
    SetSystemInterrupts(1);
    sigset_t blocked;
    stop_signal_set(&blocked);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    if (!g_fGenCore && fault_handler != nullptr) install_fault_handler(fault_handler);
    install_child_handler();
    return result;
}

}  // namespace
}  // namespace tarvex

using namespace tarvex;

extern "C" {

TARVEX_API BOOL InitNTSystem(int argc, char** argv, TARVEX_CLOSEDOWN closedown_callback,
                             TARVEX_FAULT_HANDLER fault_handler) {
    (void)argc;
    const char* gen_core = getenv("KWR_GEN_CORE");
    const char* max_events = getenv("KWR_MAX_EVENTS");
    const char* max_files = getenv("KWR_MAX_FILES");
    g_fGenCore = parse_signed(gen_core) > 0 ? 1 : 0;
    TableSizes sizes;
    unsigned long requested_events = parse_unsigned(max_events);
    unsigned long requested_files = parse_unsigned(max_files);
    umask(027);

    return with_lock(InitMutex, [&]() -> BOOL {
        test_hook("init-locked");
        if (Initialised) return TRUE;
        closedown = closedown_callback;
        sizes.files = compute_file_count(requested_files);
        sizes.events = compute_event_count(requested_events);
        return run_first_start(argv, sizes, fault_handler);
    });
}

TARVEX_API void CleanupNTResources(void) {
    for (auto step : kShutdownSteps) step();
}

TARVEX_API void SetSystemInterrupts(int ignore) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = ignore ? SIG_IGN : SIG_DFL;
    action.sa_flags = 0;
    for (int signo : kIgnorableSignal) sigaction(signo, &action, nullptr);
    if (!g_fGenCore) sigaction(SIGABRT, &action, nullptr);
}

TARVEX_API void cleanupHandler(int signo) {
    signal(signo, SIG_IGN);
    if (closedown != nullptr) closedown();
    CleanupNTResources();
    exit(signo);
}

TARVEX_API BOOL WaitForServiceStop(int* stop_flag) {
    sigset_t set;
    stop_signal_set(&set);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    for (;;) {
        int received = 0;
        if (sigwait(&set, &received) != 0) continue;
        if (received == SIGTERM || received == SIGABRT || received == SIGQUIT) break;
    }
    if (stop_flag != nullptr) *stop_flag = 1;
    Sleep(2000);
    SetSystemInterrupts(1);
    if (closedown != nullptr) closedown();
    return TRUE;
}

}  // extern "C"
