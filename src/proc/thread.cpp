// Threads: a fixed table of 1024 records (ThreadSlot, guarded by threadlock), one per thread
// started by CreateThread for as long as the thread runs or its handle is open.
//
// A record has two holders, counted in `references` of the lifetime mechanism: the handle and
// the running thread. CloseThread drops the handle's, the end of the thread (DestroyCallback, the
// destructor of handleKey) drops the thread's, and whichever comes second frees the record.
//
// Threads run with the C library's default, deferred cancellation; nothing here cancels them from
// outside. TerminateThread marks its target with the library's own signal and the target ends
// itself when it holds nothing (core/termination.h).
//
// Thread ids. A pthread_t is an address, and its low 32 bits can repeat among live threads and
// do repeat across threads that reuse a stack, so it is not the id. A thread of CreateThread has
// the id 0x80000000 | generation << 10 | index, fixed before the thread starts, so CreateThread
// reports it without waiting for the thread; every other thread has its kernel thread id, which
// is below 2^22 and so never one of those.
#include <tarvex/core.h>
#include <tarvex/proc.h>

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include "core/atomic.h"
#include "core/handle.h"
#include "core/kinds.h"
#include "core/lifetime.h"
#include "core/lock.h"
#include "core/slot_table.h"
#include "core/termination.h"

namespace tarvex {
namespace {

constexpr uint32_t kThreadCount = 1024;
constexpr size_t kDefaultStackSize = 1048576;
constexpr uint32_t kIdBase = 0x80000000u;
constexpr uint32_t kGenerationMask = 0x7FFFFu;  // keeps every id below all ones

struct ThreadRecord {
    uint32_t index;
    LONG inUse;
    LONG references;  // the open handle and the running thread
    uint32_t finished;
    uint32_t closed;
    LPTHREAD_START_ROUTINE startRoutine;
    LPVOID parameter;
    pthread_t threadId;
    DWORD id;
};

ThreadRecord g_records[kThreadCount];
constinit SlotTable<ThreadRecord> ThreadSlot;
TableLock& threadlock = ThreadSlot.lock;

pthread_key_t handleKey;
int fInitKey = 0;
uint32_t g_generation = 0;  // under threadlock

int normalPriority = -1;
int minPriority = -1;
int maxPriority = -1;

// The calling thread's record, for the identity calls (the key holds the same for its
// destructor, which only a key has).
thread_local ThreadRecord* t_record __attribute__((tls_model("initial-exec"))) = nullptr;

HANDLE handle_of(const ThreadRecord* record) { return make_handle(record->index, kTagThread); }

void wake_nobody(ThreadRecord*) {}

void free_record(ThreadRecord* record) {
    ThreadSlot.mark_free(record->index);
    record->finished = 0;
    record->closed = 0;
    record->startRoutine = nullptr;
    record->parameter = nullptr;
    record->threadId = 0;
    record->id = 0;
    store(record->inUse, LONG{0});
}

void drop_holder(ThreadRecord* record) {
    close_reference<ThreadRecord, wake_nobody, free_record>(record);
}

// The record a thread handle names, if its handle is open; under threadlock.
ThreadRecord* open_record(HANDLE handle) {
    uint32_t value = handle_value(handle);
    if (value == 0 || value == kInvalidHandleValue || handle_tag(value) != kTagThread ||
        handle_index(value) >= kThreadCount || ThreadSlot.records == nullptr)
        return nullptr;
    ThreadRecord* record = &ThreadSlot.records[handle_index(value)];
    return is_live(*record) && !record->closed ? record : nullptr;
}

// The end of a thread of CreateThread, however it ends.
void DestroyCallback(void* arg) {
    if (arg == nullptr) return;
    t_termination.ending = 1;
    t_record = nullptr;
    auto* record = static_cast<ThreadRecord*>(arg);
    with_lock(threadlock, [record] {
        record->finished = 1;
        drop_holder(record);
    });
}

void mark_ending(void*) { t_termination.ending = 1; }

void* ThreadEntry(void* arg) {
    auto* record = static_cast<ThreadRecord*>(arg);
    if (record == nullptr) {
        UnixLog("ThreadEntry - NULL context");
        return nullptr;
    }
    t_record = record;
    if (pthread_setspecific(handleKey, record) != 0) {
        UnixLog("ThreadEntry - failed to set thread context");
        DestroyCallback(record);  // the record must not wait for an end it will never hear of
        return nullptr;
    }
    t_termination.terminable = 1;
    compiler_order();
    // Terminated before it could be: nothing is held yet.
    if (t_termination.requested) end_this_thread();
    DWORD result = 0;
    // However the routine ends (returning, ExitThread, termination), the thread is on its way out
    // from here on, and its exit processing must not be ended a second time.
    pthread_cleanup_push(mark_ending, nullptr);
    result = record->startRoutine(record->parameter);
    pthread_cleanup_pop(1);
    return reinterpret_cast<void*>(static_cast<uintptr_t>(result));
}

// The stack size KWR_THREAD_STACKSIZE asks for: its leading decimal digits, 0 when unset or none.
size_t environment_stack_size() {
    const char* text = getenv("KWR_THREAD_STACKSIZE");
    if (text == nullptr || text[0] == '\0') return 0;
    return static_cast<size_t>(strtoul(text, nullptr, 10));
}

// Starts the thread of a free record; 0 or the thread library's error number.
int start_thread(ThreadRecord* record, size_t stack_size) {
    pthread_attr_t attributes;
    int error = pthread_attr_init(&attributes);
    if (error != 0) return error;
    pthread_attr_setscope(&attributes, PTHREAD_SCOPE_SYSTEM);
    // Nobody joins these threads or reads their result.
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    error = pthread_attr_setstacksize(&attributes, stack_size);
    if (error == 0) {
        store(record->references, LONG{2});
        error = pthread_create(&record->threadId, &attributes, ThreadEntry, record);
        if (error == 0) store(record->inUse, LONG{1});
    }
    pthread_attr_destroy(&attributes);
    return error;
}

int clamp(int value) { return value < minPriority ? minPriority : value > maxPriority ? maxPriority : value; }

int scheduling_priority(int requested) {
    switch (requested) {
        case THREAD_PRIORITY_IDLE: return minPriority;
        case THREAD_PRIORITY_LOWEST: return normalPriority - 2;
        case THREAD_PRIORITY_BELOW_NORMAL: return normalPriority - 1;
        case THREAD_PRIORITY_ABOVE_NORMAL: return normalPriority + 1;
        case THREAD_PRIORITY_HIGHEST: return normalPriority + 2;
        default: return normalPriority;
    }
}

// Learns the priority range once; false when the system will not tell it.
bool know_priorities() {
    if (normalPriority == -1) {
        minPriority = sched_get_priority_min(SCHED_OTHER);
        maxPriority = sched_get_priority_max(SCHED_OTHER);
        if (minPriority == -1 || maxPriority == -1) {
            minPriority = maxPriority = -1;
            return false;
        }
        normalPriority = (minPriority + maxPriority) / 2;
    }
    return minPriority != -1 && maxPriority != -1;
}

}  // namespace

bool thread_is_live(HANDLE handle) {
    return with_lock(threadlock, [handle] { return open_record(handle) != nullptr; });
}

}  // namespace tarvex

using namespace tarvex;

extern "C" {

TARVEX_API int InitThreads(void) {
    return without_cancellation([] {
        return with_lock(threadlock, [] {
            // Records of threads that outlived an earlier shutdown stay theirs.
            if (ThreadSlot.records == nullptr && !ThreadSlot.adopt(g_records, kThreadCount))
                return ENOMEM;
            for (uint32_t i = 0; i < kThreadCount; ++i) g_records[i].index = i;
            int error = install_terminate_handler();
            if (error != 0) return error;
            if (fInitKey) return 0;
            error = pthread_key_create(&handleKey, DestroyCallback);
            if (error == 0) fInitKey = 1;
            return error;
        });
    });
}

// The key stays: threads still running after shutdown must still give their records back.
TARVEX_API void FreeAllThreads(void) {}

TARVEX_API HANDLE CreateThread(LPSECURITY_ATTRIBUTES, DWORD stack_size,
                               LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD,
                               LPDWORD id) {
    size_t environment_size = environment_stack_size();
    if (!load(fInitKey)) return nullptr;
    if (start == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    size_t size = stack_size != 0        ? stack_size
                  : environment_size != 0 ? environment_size
                                          : kDefaultStackSize;
    int error = 0;
    DWORD new_id = 0;
    HANDLE handle = with_lock(threadlock, [&]() -> HANDLE {
        bool full = false;
        int64_t index = claim_record(ThreadSlot, full, [&](ThreadRecord* record) {
            record->finished = 0;
            record->closed = 0;
            record->startRoutine = start;
            record->parameter = parameter;
            record->id = kIdBase | (g_generation++ & kGenerationMask) << 10 | record->index;
            error = start_thread(record, size);
            if (error != 0) free_record(record);
            return error == 0;
        });
        if (full) UnixLog("CreateThread - too many threads");
        if (index < 0) return nullptr;
        new_id = ThreadSlot.records[index].id;
        return handle_of(&ThreadSlot.records[index]);
    });
    if (error != 0) {
        UnixLog("CreateThread failed %d", error);
        SetLastError(static_cast<DWORD>(error));
    }
    if (handle != nullptr && id != nullptr) *id = new_id;
    return handle;
}

TARVEX_API void ExitThread(DWORD) {
    t_termination.ending = 1;
    pthread_exit(nullptr);
}

TARVEX_API BOOL TerminateThread(HANDLE thread, DWORD) {
    return with_lock(threadlock, [thread]() -> BOOL {
        ThreadRecord* record = open_record(thread);
        if (record == nullptr) return FALSE;
        if (record->finished) return TRUE;
        // A running record's thread has not reached its key destructor, so its pthread_t is
        // still good.
        return pthread_kill(record->threadId, terminate_signal()) == 0 ? TRUE : FALSE;
    });
}

TARVEX_API BOOL CloseThread(HANDLE thread) {
    return with_lock(threadlock, [thread]() -> BOOL {
        ThreadRecord* record = open_record(thread);
        if (record == nullptr) return FALSE;
        record->closed = 1;
        drop_holder(record);
        return TRUE;
    });
}

TARVEX_API BOOL SetThreadPriority(HANDLE thread, int priority) {
    return with_lock(threadlock, [&]() -> BOOL {
        ThreadRecord* record = open_record(thread);
        if (record == nullptr || record->finished) return FALSE;
        if (!know_priorities()) return TRUE;
        struct sched_param parameters {};
        parameters.sched_priority = clamp(scheduling_priority(priority));
        return pthread_setschedparam(record->threadId, SCHED_OTHER, &parameters) == 0 ? TRUE
                                                                                       : FALSE;
    });
}

TARVEX_API HANDLE GetCurrentThread(void) {
    ThreadRecord* record = t_record;
    if (record != nullptr) return handle_of(record);
    UnixLog("GetCurrentThread - invalid context");
    return nullptr;
}

TARVEX_API DWORD GetCurrentThreadId(void) {
    ThreadRecord* record = t_record;
    return record != nullptr ? record->id : lock_detail::thread_id();
}

TARVEX_API int InitialiseThreadCancelState(void) {
    return pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
}

// Both from the one cache the generic handle calls use, which a forked child refreshes (a cache
// filled once would give a forked child its parent's id).
TARVEX_API HANDLE GetCurrentProcess(void) { return to_handle(own_pid()); }

TARVEX_API DWORD GetCurrentProcessId(void) { return own_pid(); }

}  // extern "C"
