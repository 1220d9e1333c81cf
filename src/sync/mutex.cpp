// Mutexes: the mutex table (MutexSlot, guarded by mutexlock) and the wait, release and close of
// its records.
//
// Every mutex has an in-process lock, a TableLock held from the acquiring call to the releasing
// one. Its word names the owning thread, so the owner test and a recursive acquisition cost no
// system call. A named mutex is also a lock file, "<base>tmp/.Mutex.<name>", held open through
// OpenSharedFile with share mode 0 while the mutex is owned: the exclusive record lock keeps the
// other processes out. A process has at most one record per name (a second create is refused;
// further handles come from OpenMutexA), so its own threads meet on the in-process lock, taken
// first, and never on the share table's entry for the path.
//
// mutexlock covers create, open and close. A create of a named mutex holds it while it waits for
// the lock file, which another process may own for long: every mutex create, open and close of
// this process waits meanwhile, and a wait or release never takes it. Wait and release are uses
// of the record (core/lifetime.h). The last close ends the mutex whoever owns it: waiters return
// WAIT_FAILED, the lock file is given back and the in-process lock freed, so a record never
// hands a later mutex a held lock and no other process is locked out by a mutex nobody can name.
//
// Waits with a time-out poll every 10 ms. An infinite wait for a named mutex blocks on the
// in-process lock and then polls for the lock file as well: a thread asleep in the kernel's
// record lock could not be woken by the last close.
//
// Calls OpenSharedFile and CloseSharedFile (files/share.cpp), under mutexlock when creating and
// closing, never the other way round; reads RegBaseDir, which start-up sets once.
#include <tarvex/core.h>
#include <tarvex/files.h>
#include <tarvex/registry.h>
#include <tarvex/sync.h>
#include <tarvex/text.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "core/atomic.h"
#include "core/handle.h"
#include "core/kinds.h"
#include "core/lifetime.h"
#include "core/lock.h"
#include "core/slot_table.h"

namespace tarvex {
namespace {

constexpr int kPathSize = 260;
constexpr char kLockFilePrefix[] = "tmp/.Mutex.";
constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
constexpr long kPollNanoseconds = 10 * 1000 * 1000;

struct MutexRecord {
    int fd;        // the open lock file while a named mutex is owned; -1 otherwise
    TableLock lock;  // held by the owning thread
    char* path;    // a named mutex's lock file; the buffer stays with the record until FreeAll
    LONG inUse;
    LONG named;
    LONG recursion;  // acquisitions by the owner not yet released; the owner's alone to change
    LONG references;
};

constinit SlotTable<MutexRecord> MutexSlot;
TableLock& mutexlock = MutexSlot.lock;

bool closing(const MutexRecord* record) { return load(record->references) == 0; }

// The lock file of `name`, or the error that refuses the name: one with a '/' could make the
// library create or lock a file outside tmp, and one whose path does not fit would be cut into
// another name's.
DWORD lock_file_path(const char* name, char (&path)[kPathSize]) {
    if (RegBaseDir[0] == '\0') return ERROR_PATH_NOT_FOUND;  // start-up has not found it
    if (strchr(name, '/') != nullptr ||
        strnlen(RegBaseDir, kPathSize) + sizeof kLockFilePrefix - 1 + strlen(name) >= kPathSize)
        return ERROR_INVALID_NAME;
    Snprintf(path, kPathSize, "%s%s%s", RegBaseDir, kLockFilePrefix, name);
    return 0;
}

void nap() {
    struct timespec step = {0, kPollNanoseconds};
    Nanosleep(&step, nullptr);
}

// Tries for the lock file once without waiting; the record keeps the descriptor. No cancellation
// between the open and the store: a lost descriptor would lock the other processes out for good.
__attribute__((noinline)) bool try_lock_file(MutexRecord* record) {
    return without_cancellation([record] {
        int fd = OpenSharedFile(record->path, kAccess, 0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
        if (fd >= 0) store(record->fd, fd);
        return fd >= 0;
    });
}

// Out of line, like every slow path below: an uncontended unnamed wait or release is a handful
// of instructions, and the registers the slow paths need would cost it more than the call.
__attribute__((noinline)) void give_back_lock_file(MutexRecord* record) {
    without_cancellation([record] {
        int fd = __atomic_exchange_n(&record->fd, -1, __ATOMIC_SEQ_CST);
        if (fd >= 0 && CloseSharedFile(record->path, fd) != 0)
            UnixLog("Assert failed in %s line %d", "mutex", __LINE__);
    });
}

// One attempt at the whole mutex: the in-process lock, then for a named one the lock file.
bool try_take(MutexRecord* record) {
    if (!try_hold(record->lock)) return false;
    if (!record->named) return true;
    if (try_lock_file(record)) return true;
    let_go(record->lock);
    return false;
}

// Takes the mutex, for at most `milliseconds`; false when the time ran out or the last handle
// was closed meanwhile.
__attribute__((noinline)) bool take(MutexRecord* record, DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        for (;;) {
            if (!hold_unless(record->lock, [record] { return closing(record); })) return false;
            if (!record->named || try_lock_file(record)) return true;
            let_go(record->lock);
            nap();
            if (closing(record)) return false;
        }
    }
    // One try, and one more after each 10 ms of the time-out, rounded up.
    for (DWORD retries = milliseconds / 10 + (milliseconds % 10 != 0);; --retries) {
        if (try_take(record)) return true;
        if (retries == 0) return false;
        nap();
        if (closing(record)) return false;
    }
}

DWORD wait_record(MutexRecord* record, DWORD milliseconds) {
    if (held_by_caller(record->lock)) {
        ++record->recursion;
        return WAIT_OBJECT_0;
    }
    // An unnamed mutex that is free is taken in line.
    if (!((!record->named && try_hold(record->lock)) || take(record, milliseconds)))
        return closing(record) ? WAIT_FAILED : WAIT_TIMEOUT;
    record->recursion = 1;
    // Taken from a mutex whose last handle is going: the close gives it back.
    return closing(record) ? WAIT_FAILED : WAIT_OBJECT_0;
}

BOOL release_record(MutexRecord* record) {
    if (!held_by_caller(record->lock)) return FALSE;
    if (--record->recursion > 0) return TRUE;
    if (record->named) give_back_lock_file(record);
    let_go(record->lock);
    return TRUE;
}

void wake_waiters(MutexRecord* record) { wake_sleepers(record->lock); }

// The end of a mutex, owned or not; safe to repeat. Freed in the bitmap first, as the lifetime
// mechanism wants; a record of a table being released is no longer the table's to mark.
void end_mutex(MutexRecord* record) {
    if (MutexSlot.records != nullptr)
        MutexSlot.mark_free(static_cast<uint32_t>(record - MutexSlot.records));
    give_back_lock_file(record);
    record->recursion = 0;
    store(record->lock.word, 0u);  // whoever held it, dead or alive, holds nothing now
    record->named = 0;
    if (record->path != nullptr) record->path[0] = '\0';
    store(record->inUse, LONG{0});
}

// Makes a free record a mutex. `path` is the lock file of a named one, or null. A named create
// waits for the lock file with cancellation deferred: it can be cancelled only inside the wait,
// whose clean-up gives the half-made grant back, and never between the open and the record
// taking the descriptor.
bool fill(MutexRecord* record, bool owned, const char* path, const char* name, DWORD& error) {
    record->fd = -1;
    record->recursion = 0;
    record->named = 0;
    store(record->lock.word, 0u);
    int type = defer_cancellation();
    bool filled = true;
    if (path != nullptr) {
        if (record->path == nullptr) record->path = static_cast<char*>(malloc(kPathSize));
        if (record->path == nullptr) {
            UnixLog("CreateMutex: out of memory");
            error = ERROR_NOT_ENOUGH_MEMORY;
            filled = false;
        } else {
            Strcpy(record->path, path, kPathSize);
            int fd = OpenSharedFile(path, kAccess, 0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, 1);
            if (fd < 0) {
                int saved = errno;
                UnixLog("CreateMutex: %s failed", name);
                errno = saved;
                filled = false;
            } else if (owned) {
                record->fd = fd;
            } else if (CloseSharedFile(path, fd) != 0) {
                UnixLog("Assert failed in %s line %d", "mutex", __LINE__);
            }
            record->named = filled ? 1 : 0;
        }
    }
    if (filled) {
        if (owned) {
            try_hold(record->lock);  // a free record's lock is free
            record->recursion = 1;
        }
        store(record->references, LONG{1});
        store(record->inUse, LONG{1});
    }
    restore_cancellation(type);
    return filled;
}

// The live named mutex of this lock file, or -1. Under mutexlock.
int64_t find_named(const char* path) {
    return find_live(MutexSlot, [path](const MutexRecord& record) {
        return record.named && record.path != nullptr && strcmp(record.path, path) == 0;
    });
}

// The lock file of a name given to a create or open; logs and sets the last error on refusal.
bool path_of(const char* operation, const char* name, char (&path)[kPathSize]) {
    DWORD refusal = lock_file_path(name, path);
    if (refusal == 0) return true;
    if (refusal == ERROR_INVALID_NAME)
        UnixLog("%s: invalid name %.200s", operation, name);
    else
        UnixLog("%s: no base directory", operation);
    SetLastError(refusal);
    return false;
}

}  // namespace

bool mutex_is_live(HANDLE handle) { return names_live(MutexSlot, handle); }

}  // namespace tarvex

using namespace tarvex;

extern "C" {

TARVEX_API int InitMutexes(int count) {
    return count <= 0 ? -1 : open_table(MutexSlot, static_cast<uint32_t>(count));
}

TARVEX_API void FreeAllMutexes(void) {
    release_table<MutexRecord, wake_waiters, end_mutex>(MutexSlot, [](MutexRecord* record) {
        free(record->path);
        record->path = nullptr;
    });
}

TARVEX_API HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initial_owner, LPCSTR name) {
    bool named = name != nullptr && name[0] != '\0';
    char path[kPathSize];
    if (named && !path_of("CreateMutex", name, path)) return INVALID_HANDLE_VALUE;
    DWORD error = 0;
    HANDLE handle = with_lock(mutexlock, [&]() -> HANDLE {
        // Within one process a name is created once; further handles come from OpenMutexA.
        if (named && find_named(path) >= 0) {
            error = ERROR_INVALID_HANDLE;
            return INVALID_HANDLE_VALUE;
        }
        bool full = MutexSlot.records == nullptr;
        int64_t index = full ? -1 : claim_record(MutexSlot, full, [&](MutexRecord* record) {
            return fill(record, initial_owner != FALSE, named ? path : nullptr, name, error);
        });
        if (full) {
            UnixLog("CreateMutex: Too many open mutexes");
            error = ERROR_TOO_MANY_OPEN_FILES;
        }
        return index < 0 ? INVALID_HANDLE_VALUE
                         : make_handle(static_cast<uint32_t>(index), kTagMutex);
    });
    // A lock file that could not be had leaves its errno for GetLastError.
    if (handle != INVALID_HANDLE_VALUE || error != 0) SetLastError(error);
    return handle;
}

TARVEX_API HANDLE OpenMutexA(DWORD, BOOL, LPCSTR name) {
    char path[kPathSize];
    if (name == nullptr || name[0] == '\0') {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    if (!path_of("OpenMutex", name, path)) return INVALID_HANDLE_VALUE;
    HANDLE handle = with_lock(mutexlock, [&]() -> HANDLE {
        int64_t existing = find_named(path);
        if (existing < 0) return INVALID_HANDLE_VALUE;
        add_reference(MutexSlot.records[existing]);
        return make_handle(static_cast<uint32_t>(existing), kTagMutex);
    });
    if (handle == INVALID_HANDLE_VALUE) SetLastError(ERROR_INVALID_HANDLE);
    return handle;
}

TARVEX_API DWORD WaitForMutex(HANDLE mutex, DWORD milliseconds) {
    DWORD result = WAIT_FAILED;
    use_handle(MutexSlot, mutex,
               [&](MutexRecord* record) { result = wait_record(record, milliseconds); });
    return result;
}

TARVEX_API BOOL ReleaseMutex(HANDLE mutex) {
    BOOL result = FALSE;
    use_handle(MutexSlot, mutex, [&](MutexRecord* record) { result = release_record(record); });
    return result;
}

// The owner's close gives up one acquisition, as a release would; the last close ends the mutex
// whatever is left of its ownership.
TARVEX_API BOOL CloseMutex(HANDLE mutex) {
    uint32_t index = handle_index(handle_value(mutex));
    BOOL closed = with_lock(mutexlock, [&]() -> BOOL {
        MutexRecord* record = MutexSlot.at(index);
        if (record == nullptr || !is_live(*record)) return FALSE;
        release_record(record);
        return close_reference<MutexRecord, wake_waiters, end_mutex>(record) != Closed::kNotLive;
    });
    if (!closed) SetLastError(ERROR_INVALID_HANDLE);
    return closed;
}

}  // extern "C"
