// Generic handle operations: close, wait and duplicate a handle of any kind.
//
// The kind is the handle's low five bits; the operation is passed on unchanged to the kind's own
// close or wait, which turns the rest of the handle into a record and validates it. A new kind
// joins by filling its row of kCloseByTag / kWaitByTag / kLiveByTag.
#include <tarvex/core.h>
#include <tarvex/files.h>
#include <tarvex/proc.h>
#include <tarvex/pipe.h>
#include <tarvex/shm.h>
#include <tarvex/sync.h>

#include <pthread.h>
#include <unistd.h>

#include <array>

#include "core/handle.h"
#include "core/kinds.h"

namespace tarvex {
namespace {

using CloseOperation = BOOL (*)(HANDLE);
using WaitOperation = DWORD (*)(HANDLE, DWORD);
using LiveQuery = bool (*)(HANDLE);

constexpr uint32_t kTagCount = 19;  // tags 0..18; anything above is not a handle of ours

constexpr BOOL close_nothing(HANDLE) { return TRUE; }

constexpr auto kCloseByTag = [] {
    std::array<CloseOperation, kTagCount> table{};
    table[kTagSemaphore] = CloseSemaphore;
    table[kTagEvent] = CloseEvent;
    table[kTagMutex] = CloseMutex;
    table[kTagProcess] = CloseProcess;
    table[kTagFile] = CloseFile;
    table[kTagFileMapping] = CloseSharedMemory;
    table[kTagThread] = CloseThread;
    table[kTagPipe] = ClosePipe;
    // Reserved tag, and directory searches (FindClose releases those): nothing to do.
    table[kTagReserved] = close_nothing;
    table[kTagFindFile] = close_nothing;
    return table;
}();

constexpr auto kWaitByTag = [] {
    std::array<WaitOperation, kTagCount> table{};
    table[kTagSemaphore] = WaitForSemaphore;
    table[kTagEvent] = WaitForEvent;
    table[kTagMutex] = WaitForMutex;
    table[kTagProcess] = WaitForProcess;
    table[kTagPipe] = WaitForPipe;
    return table;
}();

constexpr auto kLiveByTag = [] {
    std::array<LiveQuery, kTagCount> table{};
    table[kTagSemaphore] = semaphore_is_live;
    table[kTagEvent] = event_is_live;
    table[kTagMutex] = mutex_is_live;
    table[kTagProcess] = process_is_live;
    table[kTagFile] = file_is_live;
    table[kTagFileMapping] = mapping_is_live;
    table[kTagPipe] = pipe_is_live;
    table[kTagFindFile] = find_file_is_live;
    table[kTagThread] = thread_is_live;
    return table;
}();

constexpr DWORD kNoWait = 128;

// getpid is a system call, too slow for every close and wait; the id is cached and a fork
// handler refreshes it in the child. 0 means not known yet.
uint32_t g_own_pid = 0;
pthread_once_t g_pid_once = PTHREAD_ONCE_INIT;

void refresh_own_pid() { __atomic_store_n(&g_own_pid, static_cast<uint32_t>(getpid()), __ATOMIC_RELAXED); }

void watch_forks() { pthread_atfork(nullptr, nullptr, refresh_own_pid); }

}  // namespace

uint32_t own_pid() {
    uint32_t pid = __atomic_load_n(&g_own_pid, __ATOMIC_RELAXED);
    if (pid != 0) return pid;
    pthread_once(&g_pid_once, watch_forks);
    refresh_own_pid();
    return __atomic_load_n(&g_own_pid, __ATOMIC_RELAXED);
}

namespace {

bool is_own_process_id(uint32_t value) { return value == own_pid(); }

// The process id (what GetCurrentProcess hands out) is not a handle of this encoding, but its
// low bits can look like a tag and the rest like an index. A value that names a live record of
// its kind is that record's handle (process 1 in a container owns handle 1, its first
// semaphore); only a value that names none stands for the process, and never reaches a kind's
// operation with a meaningless index.
bool stands_for_process(uint32_t value) {
    if (!is_own_process_id(value)) return false;
    uint32_t tag = handle_tag(value);
    LiveQuery live = tag < kTagCount ? kLiveByTag[tag] : nullptr;
    return live == nullptr || !live(to_handle(value));
}

}  // namespace
}  // namespace tarvex

using namespace tarvex;

extern "C" {

TARVEX_API BOOL CloseHandle(HANDLE handle) {
    uint32_t value = handle_value(handle);
    if (value == kInvalidHandleValue) return FALSE;
    // Closing the current-process pseudo handle is a harmless no-op, as hosts expect.
    if (stands_for_process(value)) return TRUE;
    uint32_t tag = handle_tag(value);
    if (tag >= kTagCount) return FALSE;
    CloseOperation close_op = kCloseByTag[tag];
    return close_op != nullptr ? close_op(handle) : FALSE;
}

TARVEX_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    uint32_t value = handle_value(handle);
    if (value == kInvalidHandleValue || stands_for_process(value)) return kNoWait;
    uint32_t tag = handle_tag(value);
    if (tag >= kTagCount) return kNoWait;
    WaitOperation wait_op = kWaitByTag[tag];
    return wait_op != nullptr ? wait_op(handle, milliseconds) : kNoWait;
}

TARVEX_API DWORD WaitForSingleObjectEx(HANDLE, DWORD, BOOL) { return kNoWait; }

TARVEX_API DWORD WaitForMultipleObjects(DWORD, const HANDLE*, BOOL, DWORD) { return kNoWait; }

TARVEX_API DWORD WaitForMultipleObjectsEx(DWORD, const HANDLE*, BOOL, DWORD, BOOL) {
    return kNoWait;
}

TARVEX_API BOOL DuplicateHandle(HANDLE source_process, HANDLE source_handle,
                                HANDLE target_process, LPHANDLE target_handle, DWORD access,
                                BOOL inherit, DWORD options) {
    if (target_handle != nullptr) *target_handle = INVALID_HANDLE_VALUE;
    uint32_t source = handle_value(source_process);
    if (source == kInvalidHandleValue || source != handle_value(target_process) ||
        !is_own_process_id(source) || handle_value(source_handle) == kInvalidHandleValue)
        return FALSE;
    // Only pipe handles can be duplicated, and only into a place the caller gave: a duplicate
    // nobody holds could never be closed.
    if (handle_tag(handle_value(source_handle)) != kTagPipe) return FALSE;
    if (target_handle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *target_handle = DuplicatePipe(source_handle, access, inherit, options);
    return *target_handle != INVALID_HANDLE_VALUE ? TRUE : FALSE;
}

TARVEX_API BOOL CloseServiceHandle(SC_HANDLE) { return TRUE; }

}  // extern "C"
