// Child processes: the process table (ProcSlot, 4096 records, guarded by proclock), the start of
// children with fork and execve, their waits, termination and the SIGCHLD handler.
//
// A child started here is reaped only by this unit's own operations, always under its record's
// own lock, so that its exit status stays available until the caller has waited for it or closed its handle,
// and so that no signal is ever sent to a process identifier that was already reaped (and may
// have been handed to someone else since). Children the table does not know are reaped by
// SigChldHandler as soon as they end.
//
// The window between the fork and the filling of the child's record: a child that ends at once
// would be unknown to the handler, which would reap it and lose its status. CreateProcessA counts
// itself in g_forks_in_flight before it forks and leaves only once the record is filled; while
// the count is above 0 the handler reaps nothing and parks the identifiers it was told of, and
// whoever sees the count back at 0 (the creator, or a later signal) reaps the parked ones that
// turned out to be unknown. Blocking SIGCHLD around the fork would not do: another thread of the
// host takes the signal instead.
//
// The host is multi-threaded: at the fork another thread may hold the allocator's lock, the log's
// or any table lock, and the child would wait for them for ever. Everything the child needs (its
// argument words, environment, descriptors, directory) is built before the fork; between fork and
// execve the child makes only async-signal-safe calls.
//
// proclock covers the claiming and the freeing of records; a record's `lock` covers reaping,
// signalling and reading the exit code. Uses never take proclock: the last close holds it while it
// waits for them. Waits hold no lock while they sleep. Where the kernel has process descriptors a waiter
// sleeps in poll on the child's descriptor and returns as soon as the child ends; elsewhere it
// naps, a little longer each round up to 50 ms. Each wait, exit-code query and termination is a
// use of the record (core/lifetime.h), so the last close waits for them to leave before the
// record is cleared; a sleeping waiter notices the close within one nap.
//
// Calls GetRealHandle (the pipe table) before forking, SetSystemInterrupts (start-up) in the
// child, ParseLine and the bounded strings (text/); reads RegBaseDir, which start-up sets once.
#include <tarvex/core.h>
#include <tarvex/proc.h>
#include <tarvex/registry.h>
#include <tarvex/text.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "core/atomic.h"
#include "core/handle.h"
#include "core/kinds.h"
#include "core/lifetime.h"
#include "core/lock.h"
#include "core/slot_table.h"
#include "core/test_hook.h"

extern char** environ;

namespace tarvex {
namespace {

constexpr uint32_t kProcessCount = 4096;
constexpr int kCommandSize = 10240;
constexpr int kMaxWords = 255;
constexpr int kMaxEnvironment = 4095;
constexpr size_t kPathJoinLimit = 10231;
constexpr int kDefaultPathSize = 780;
constexpr int kDefaultDescriptorLimit = 256;
constexpr int kNapCeilingMs = 50;
constexpr int kTerminateGraceMs = 4000;
constexpr int kParkedCount = 64;
constexpr int kNullDevice = -2;  // a standard descriptor that gets /dev/null
constexpr int kKeep = -1;        // a standard descriptor that keeps what the fork gave it

struct ProcessRecord {
    pid_t pid;
    LONG inUse;
    LONG exited;        // the end is known: reaped by a wait, or ended by TerminateProcess
    DWORD exitCode;     // valid once `exited` is 1
    LONG references;    // 1 while the handle is open; process handles are not shared
    LONG reaped;        // waited for: `pid` may name another process by now
    LONG terminating;   // TerminateProcess signalled it: its code is the exit code
    DWORD terminateCode;
    int pidfd;          // the child's process descriptor, or -1
    TableLock lock;     // held to reap, to signal and to read the end
};

constinit ProcessRecord g_records[kProcessCount];
constinit SlotTable<ProcessRecord> ProcSlot;
TableLock& proclock = ProcSlot.lock;

char dfltExecPath[kDefaultPathSize];

// Forks under way whose child's record is not filled yet, and the children the handler was told
// of meanwhile (0: free place).
constinit int g_forks_in_flight = 0;
constinit pid_t g_parked[kParkedCount] = {};

// 0 once the kernel has refused process descriptors: not asked again.
constinit int g_have_pidfd = 1;

bool closing(const ProcessRecord* record) { return load(record->references) == 0; }

// Whether the table holds an open record for `pid`. Runs in the signal handler too: lock-free
// loads only, on the static array (the table's own pointer is null before start-up).
bool is_known(pid_t pid) {
    if (pid <= 0) return false;
    for (const ProcessRecord& record : g_records)
        if (__atomic_load_n(&record.pid, __ATOMIC_SEQ_CST) == pid &&
            __atomic_load_n(&record.inUse, __ATOMIC_SEQ_CST) == 1)
            return true;
    return false;
}

void reap_if_unknown(pid_t pid) {
    if (pid <= 0 || is_known(pid)) return;
    int status;
    while (waitpid(pid, &status, WNOHANG) < 0 && errno == EINTR) {
    }
}

// Reaps the parked children that no record claims. Only with no fork in flight.
void reap_parked() {
    for (pid_t& place : g_parked) {
        pid_t pid = __atomic_exchange_n(&place, 0, __ATOMIC_SEQ_CST);
        if (pid != 0) reap_if_unknown(pid);
    }
}

void park(pid_t pid) {
    for (pid_t& place : g_parked) {
        pid_t expected = 0;
        if (__atomic_compare_exchange_n(&place, &expected, pid, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST))
            return;
    }
    // All places taken (64 children ended within one fork): this one stays a zombie rather than
    // risk reaping a child whose record is about to be filled.
}

int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    if (load(g_have_pidfd)) {
        int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));  // close-on-exec by nature
        if (fd >= 0) return fd;
        if (errno == ENOSYS || errno == EPERM) store(g_have_pidfd, 0);
    }
#else
    (void)pid;
#endif
    return -1;
}

// Sends `signo` to a child that has not been reaped (the caller holds the record's lock), through
// its descriptor when there is one, which cannot reach a process that took over the identifier.
bool send_signal(const ProcessRecord* record, int signo) {
#ifdef SYS_pidfd_send_signal
    if (record->pidfd >= 0 &&
        syscall(SYS_pidfd_send_signal, record->pidfd, signo, nullptr, 0) == 0)
        return true;
#endif
    return record->pid > 0 && kill(record->pid, signo) == 0;
}

enum class Reap { kEnded, kRunning, kGone };

// Asks without blocking whether the child has ended, and reaps it if so. Under the record's lock.
Reap reap_locked(ProcessRecord* record) {
    if (record->exited) return Reap::kEnded;
    if (record->reaped || record->pid <= 0) return Reap::kGone;
    int status = 0;
    pid_t got;
    while ((got = waitpid(record->pid, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (got == 0) return Reap::kRunning;
    if (got < 0) return Reap::kGone;  // not ours to wait for any more (the host reaped it)
    record->reaped = 1;
    record->exitCode = record->terminating ? record->terminateCode
                                           : static_cast<DWORD>((status >> 8) & 0xFF);
    store(record->exited, LONG{1});
    return Reap::kEnded;
}

long long now_ms() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// Sleeps up to `ms` or until the child ends, whichever is first (a signal may end it sooner).
void nap(const ProcessRecord* record, int ms, int round) {
    if (record->pidfd >= 0) {
        struct pollfd end = {record->pidfd, POLLIN, 0};
        poll(&end, 1, ms);
        return;
    }
    int step = round < 6 ? 1 << round : kNapCeilingMs;
    struct timespec pause = {0, static_cast<long>(step < ms ? step : ms) * 1000000L};
    nanosleep(&pause, nullptr);
}

// Waits up to `milliseconds` (INFINITE: no limit) for the child to end, reaping it. Gives up
// early when the handle is being closed.
Reap wait_for_end(ProcessRecord* record, DWORD milliseconds) {
    const long long deadline = milliseconds == INFINITE ? 0 : now_ms() + milliseconds;
    for (int round = 0;; ++round) {
        Reap outcome = with_lock(record->lock, [record] { return reap_locked(record); });
        if (outcome != Reap::kRunning) return outcome;
        long long left = milliseconds == INFINITE ? kNapCeilingMs : deadline - now_ms();
        if (left <= 0 || closing(record)) return Reap::kRunning;
        test_hook("process-wait-napping", record);
        nap(record, left < kNapCeilingMs ? static_cast<int>(left) : kNapCeilingMs, round);
    }
}

// The last close: the record leaves the table before the child is reaped, so that a child that
// ends after the look below is reaped by the handler, which no longer finds it. Safe to repeat.
void wake_nobody(ProcessRecord*) {}

void end_record_locked(ProcessRecord* record) {
    without_cancellation([record] {
        ProcSlot.mark_free(static_cast<uint32_t>(record - g_records));
        if (load(record->inUse) != 1) return;
        pid_t pid = record->reaped ? 0 : record->pid;
        int pidfd = record->pidfd;
        record->pidfd = -1;
        record->exited = record->exitCode = record->reaped = 0;
        record->terminating = record->terminateCode = 0;
        store(record->inUse, LONG{0});
        store(record->pid, pid_t{0});
        if (pidfd >= 0) close(pidfd);
        if (pid > 0) reap_if_unknown(pid);
    });
}

bool is_process_handle(HANDLE handle) {
    uint32_t value = handle_value(handle);
    return value != kInvalidHandleValue && handle_tag(value) == kTagProcess;
}

// Runs operation(record) as a use of the process `handle` names. A handle of another kind, or
// one that names no open process, fails with ERROR_INVALID_HANDLE.
template <class Result, class Operation>
Result with_process(HANDLE handle, Result failure, Operation operation) {
    if (!is_process_handle(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return failure;
    }
    Result result = failure;
    Use use = use_handle(ProcSlot, handle, [&](ProcessRecord* record) { result = operation(record); });
    if (use == Use::kNotLive) SetLastError(ERROR_INVALID_HANDLE);
    if (use == Use::kNoSlot) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return result;
}

void ensure_table() {
    if (ProcSlot.records == nullptr) ProcSlot.adopt(g_records, kProcessCount);
    if (dfltExecPath[0] == '\0')
        Snprintf(dfltExecPath, sizeof dfltExecPath, "PATH=%s:%s:%s/bin", "/usr/bin", "/usr/sbin",
                 RegBaseDir);
}

// ---- What the child needs, built before the fork ----

bool names_search_path(const char* entry) { return strncasecmp(entry, "PATH=", 5) == 0; }

// The search path with the library's own bin directory at its end, or the default one when the
// two would not fit together.
size_t extended_path_size(const char* entry) {
    size_t length = strlen(entry);
    if (length + strlen(RegBaseDir) > kPathJoinLimit) return 0;
    return length + strlen(RegBaseDir) + sizeof ":/bin";
}

struct ChildPlan {
    char* words[kMaxWords + 1];
    char** environment;  // null-terminated, in `storage`
    const char* directory;
    int standard[3];     // a descriptor, kKeep or kNullDevice; all kNullDevice without std handles
    bool inherit_standard;
    int descriptor_limit;
    char* storage;       // one allocation: command line, environment array, rewritten paths
};

// Counts the block's strings (ending with an empty one; none when null).
template <class Visit>
void for_each_block_string(const char* block, Visit&& visit) {
    if (block == nullptr) return;
    for (const char* s = block; *s != '\0'; s += strlen(s) + 1) visit(s);
}

// Fills `plan` with the words and the environment; false when there is no memory.
bool build_plan(ChildPlan& plan, const char* application, const char* command_line,
                const char* block) {
    // First pass: sizes.
    size_t entries = 0, extra = 0;
    auto measure = [&](const char* entry) {
        if (entries >= kMaxEnvironment) return;
        ++entries;
        if (names_search_path(entry)) extra += extended_path_size(entry);
    };
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) measure(*e);
    for_each_block_string(block, measure);
    size_t pointers = (entries + 1) * sizeof(char*);
    plan.storage = static_cast<char*>(malloc(pointers + kCommandSize + extra));
    if (plan.storage == nullptr) return false;
    plan.environment = reinterpret_cast<char**>(plan.storage);
    char* command = plan.storage + pointers;
    char* text = command + kCommandSize;

    // The environment: the process's own entries, then the caller's block. The first search path
    // found is extended with the library's bin directory; a later one from the block is dropped.
    size_t count = 0;
    bool path_set = false;
    auto take = [&](const char* entry, bool from_block) {
        if (count >= kMaxEnvironment) return;
        if (names_search_path(entry)) {
            if (from_block && path_set) return;
            path_set = true;
            size_t size = extended_path_size(entry);
            if (size == 0) {
                plan.environment[count++] = dfltExecPath;
                return;
            }
            Snprintf(text, static_cast<int>(size), "%s:%s/bin", entry, RegBaseDir);
            plan.environment[count++] = text;
            text += size;
            return;
        }
        plan.environment[count++] = const_cast<char*>(entry);
    };
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) take(*e, false);
    for_each_block_string(block, [&](const char* entry) { take(entry, true); });
    plan.environment[count] = nullptr;

    // The command line: the application name as the first word, then the caller's line whole.
    command[0] = '\0';
    if (application != nullptr) Strcpy(command, application, kCommandSize);
    if (command_line != nullptr) {
        if (command[0] != '\0') Strcat(command, " ", kCommandSize);
        Strcat(command, command_line, kCommandSize);
    }
    int words = kMaxWords + 1;
    if (ParseLine(command, plan.words, &words, " ", 0) > 1) words = 0;
    if (words > kMaxWords) words = kMaxWords;  // a 256th field holds the rest: dropped
    plan.words[words] = nullptr;
    return true;
}

int descriptor_limit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return kDefaultDescriptorLimit;
    return limit.rlim_cur > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(limit.rlim_cur);
}

int standard_source(HANDLE handle) {
    if (handle == nullptr) return kNullDevice;
    int fd = GetRealHandle(handle, -1);
    return fd >= 0 ? fd : kKeep;
}

// ---- In the child: async-signal-safe calls only ----

// Closes every descriptor from `first` up: one call where the kernel has close_range, else the
// open ones as /proc lists them, else each one below the limit.
void close_from(int first, int limit) {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, static_cast<unsigned>(first), ~0u, 0) == 0) return;
#endif
    int dir = static_cast<int>(syscall(SYS_open, "/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir >= 0) {
        alignas(8) char buffer[4096];
        long n;
        while ((n = syscall(SYS_getdents64, dir, buffer, sizeof buffer)) > 0) {
            for (long at = 0; at < n;) {
                auto* entry = reinterpret_cast<struct dirent64*>(buffer + at);
                at += entry->d_reclen;
                int fd = 0;
                const char* c = entry->d_name;
                if (*c < '0' || *c > '9') continue;
                for (; *c >= '0' && *c <= '9'; ++c) fd = fd * 10 + (*c - '0');
                if (fd >= first && fd != dir) close(fd);
            }
        }
        close(dir);
        if (n == 0) return;
    }
    for (int fd = first; fd < limit; ++fd) close(fd);
}

void null_device_onto(int target) {
    int fd = open("/dev/null", O_RDWR);
    if (fd >= 0 && fd != target) {
        dup2(fd, target);
        close(fd);
    }
}

[[noreturn]] void run_child(const ChildPlan& plan) {
    // The signals the library ignores get their default actions back for the new program; this
    // is the child's own table of actions, so the host's threads are not touched.
    SetSystemInterrupts(0);
    if (plan.inherit_standard) {
        // The sources go above the standard three first, so that no dup2 below overwrites a
        // source another target still needs, and a source already in place loses close-on-exec.
        int moved[3];
        for (int i = 0; i < 3; ++i)
            moved[i] = plan.standard[i] >= 0 ? fcntl(plan.standard[i], F_DUPFD_CLOEXEC, 3)
                                             : plan.standard[i];
        for (int i = 0; i < 3; ++i) {
            if (moved[i] >= 0)
                dup2(moved[i], i);
            else if (moved[i] == kNullDevice) {
                close(i);
                null_device_onto(i);
            }
        }
        close_from(3, plan.descriptor_limit);
    } else {
        close_from(0, plan.descriptor_limit);
        for (int i = 0; i < 3; ++i) null_device_onto(i);
    }
    if (plan.directory != nullptr && chdir(plan.directory) != 0) {
        // A directory that cannot be entered leaves the child where the caller is.
    }
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &term, nullptr);
    execve(plan.words[0], plan.words, plan.environment);
    _exit(errno);
}

// Forks the child and fills `record`; false (record left free) when the fork failed. Under
// proclock, with cancellation held off: a child whose record was never filled would be lost.
bool start_child(ProcessRecord* record, const ChildPlan& plan) {
    __atomic_add_fetch(&g_forks_in_flight, 1, __ATOMIC_SEQ_CST);
    pid_t pid = fork();
    if (pid == 0) run_child(plan);
    if (pid > 0) {
        test_hook("process-forked", &pid);
        record->pidfd = open_pidfd(pid);
        record->exited = record->reaped = record->terminating = 0;
        record->exitCode = record->terminateCode = 0;
        store(record->pid, pid);
        store(record->references, LONG{1});
        store(record->inUse, LONG{1});
    }
    __atomic_sub_fetch(&g_forks_in_flight, 1, __ATOMIC_SEQ_CST);
    reap_parked();
    return pid > 0;
}

// Copies `size` bytes of this process's memory through the kernel, which reports an address
// that cannot be read or written instead of faulting; the bytes copied before the first such
// address. Under an emulator without the call the pointers are trusted.
size_t copy_own_memory(void* to, const void* from, size_t size) {
    size_t done = 0;
    while (done < size) {
        struct iovec local = {static_cast<char*>(to) + done, size - done};
        struct iovec remote = {const_cast<char*>(static_cast<const char*>(from)) + done, size - done};
        ssize_t got = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
        if (got < 0 && errno == ENOSYS) {
            memcpy(local.iov_base, remote.iov_base, size - done);
            return size;
        }
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    return done;
}

void zero_own_memory(void* to, size_t size) {
    static const char zeros[4096] = {};
    for (size_t done = 0; done < size;) {
        size_t chunk = size - done < sizeof zeros ? size - done : sizeof zeros;
        if (copy_own_memory(static_cast<char*>(to) + done, zeros, chunk) != chunk) return;
        done += chunk;
    }
}

}  // namespace

bool process_is_live(HANDLE handle) { return names_live(ProcSlot, handle); }

}  // namespace tarvex

using namespace tarvex;

extern "C" {

TARVEX_API int InitProcesses(void) {
    without_cancellation([] { with_lock(proclock, [] { ensure_table(); }); });
    return 0;
}

// Children outlive the host's tables: nothing to release.
TARVEX_API void FreeAllProcesses(void) {}

TARVEX_API BOOL CreateProcessA(LPCSTR application_name, LPSTR command_line,
                               LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                               BOOL inherit_handles, DWORD, LPVOID environment,
                               LPCSTR current_directory, LPSTARTUPINFOA startup_info,
                               LPPROCESS_INFORMATION process_information) {
    // Without a place for the handle the child could never be waited for or closed.
    if (process_information == nullptr ||
        (application_name == nullptr && command_line == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ChildPlan plan;
    plan.directory = current_directory != nullptr && current_directory[0] != '\0'
                         ? current_directory : nullptr;
    plan.inherit_standard = inherit_handles && startup_info != nullptr &&
                            (startup_info->dwFlags & STARTF_USESTDHANDLES) != 0;
    if (plan.inherit_standard) {
        plan.standard[0] = standard_source(startup_info->hStdInput);
        plan.standard[1] = standard_source(startup_info->hStdOutput);
        plan.standard[2] = standard_source(startup_info->hStdError);
    }
    plan.descriptor_limit = descriptor_limit();
    if (!build_plan(plan, application_name, command_line,
                    static_cast<const char*>(environment))) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (plan.words[0] == nullptr) {  // nothing but spaces: no program to run
        free(plan.storage);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    pid_t child = 0;
    int64_t index = without_cancellation([&] {
        return with_lock(proclock, [&]() -> int64_t {
            ensure_table();
            bool full = false;
            int64_t claimed = claim_record(ProcSlot, full, [&](ProcessRecord* record) {
                return start_child(record, plan);
            });
            if (full) UnixLog("CreateProcess: too many processes");
            if (claimed >= 0) child = g_records[claimed].pid;
            return claimed;
        });
    });
    free(plan.storage);
    if (index < 0) return FALSE;
    // Beside the handle the host gets the child's identifier (what the process list and the
    // module-name functions take); there is no thread handle.
    process_information->hProcess = make_handle(static_cast<uint32_t>(index), kTagProcess);
    process_information->hThread = nullptr;
    process_information->dwProcessId = static_cast<DWORD>(child);
    process_information->dwThreadId = 0;
    return TRUE;
}

TARVEX_API DWORD WaitForProcess(HANDLE process, DWORD milliseconds) {
    return with_process(process, WAIT_FAILED, [milliseconds](ProcessRecord* record) -> DWORD {
        switch (wait_for_end(record, milliseconds)) {
            case Reap::kEnded:
                return WAIT_OBJECT_0;
            case Reap::kRunning:
                return closing(record) ? WAIT_FAILED : WAIT_TIMEOUT;
            default:
                return WAIT_FAILED;
        }
    });
}

// SIGTERM, up to 4 s for the child to go, then SIGKILL and up to 4 s more. The record's lock is
// held only to signal and to reap, never through the waits. A close of the handle meanwhile cuts the grace.
TARVEX_API BOOL TerminateProcess(HANDLE process, UINT exit_code) {
    return with_process(process, FALSE, [exit_code](ProcessRecord* record) -> BOOL {
        bool sent = with_lock(record->lock, [&] {
            // A child that has already ended keeps its own exit code.
            if (reap_locked(record) != Reap::kRunning || !send_signal(record, SIGTERM)) return false;
            record->terminating = 1;
            record->terminateCode = exit_code;
            return true;
        });
        if (!sent) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (wait_for_end(record, kTerminateGraceMs) == Reap::kRunning) {
            with_lock(record->lock, [&] {
                if (!record->exited && !record->reaped) send_signal(record, SIGKILL);
            });
            wait_for_end(record, kTerminateGraceMs);
        }
        with_lock(record->lock, [&] {
            record->exitCode = exit_code;
            store(record->exited, LONG{1});
        });
        return TRUE;
    });
}

TARVEX_API BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code) {
    if (exit_code == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return with_process(process, FALSE, [exit_code](ProcessRecord* record) -> BOOL {
        return with_lock(record->lock, [&]() -> BOOL {
            if (!record->exited) return FALSE;
            *exit_code = record->exitCode;
            return TRUE;
        });
    });
}

TARVEX_API BOOL CloseProcess(HANDLE process) {
    if (!is_process_handle(process)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    uint32_t index = handle_index(handle_value(process));
    return with_lock(proclock, [&]() -> BOOL {
        if (close_reference<ProcessRecord, wake_nobody, end_record_locked>(ProcSlot.at(index)) ==
            Closed::kNotLive) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return TRUE;
    });
}

// Reaps the child that ended if the table does not know it. Installed at start-up with every
// signal blocked while it runs; keeps the interrupted code's errno.
TARVEX_API void SigChldHandler(int, siginfo_t* info, void*) {
    if (info == nullptr ||
        (info->si_code != CLD_EXITED && info->si_code != CLD_KILLED && info->si_code != CLD_DUMPED))
        return;
    int saved = errno;
    if (__atomic_load_n(&g_forks_in_flight, __ATOMIC_SEQ_CST) > 0) {
        park(info->si_pid);
    } else {
        reap_if_unknown(info->si_pid);
        reap_parked();
    }
    errno = saved;
}

// Reads the calling process's own memory (the handle is not looked at). The copy goes through
// the kernel, so an unreadable source or destination fails instead of faulting.
TARVEX_API BOOL ReadProcessMemory(HANDLE, LPCVOID base, LPVOID buffer, SIZE_T size,
                                  SIZE_T* bytes_read) {
    size_t done = IsBadReadPtr(base, size) ? 0 : copy_own_memory(buffer, base, size);
    if (done == size) {
        if (bytes_read != nullptr) *bytes_read = size;
        return TRUE;
    }
    if (!IsBadWritePtr(buffer, size)) zero_own_memory(buffer, size);
    if (bytes_read != nullptr) *bytes_read = 0;
    SetLastError(ERROR_PARTIAL_COPY);
    return FALSE;
}

TARVEX_API HMODULE GetModuleHandleA(LPCSTR) { return nullptr; }

}  // extern "C"
