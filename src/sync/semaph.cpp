// Semaphores: a fixed table of 256 process-private POSIX semaphores (SemaphoreSlot, guarded by
// semaphorelock). A name only lets two creates of this process reach the same semaphore.
//
// semaphorelock covers create and close. Release and wait go straight to the POSIX semaphore,
// which is thread-safe, so they take no lock; the table is static storage, never freed, so a
// handle that passes the range and in-use checks always reaches valid memory. The last close
// marks the slot closing, wakes the threads blocked in it and waits for them to leave before the
// slot can be reused.
#include <tarvex/core.h>
#include <tarvex/sync.h>
#include <tarvex/text.h>

#include <errno.h>
#include <sched.h>
#include <semaphore.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include "core/atomic.h"
#include "core/handle.h"
#include "core/lock.h"
#include "core/slot_table.h"

namespace tarvex {
namespace {

constexpr uint32_t kSemaphoreCount = 256;
constexpr int kNameSize = 260;
// What a wait returns when the semaphore's last handle was closed while it waited: it got no
// unit, and this is the library's "wait could not be carried out" answer.
constexpr DWORD kWaitAbandoned = 128;

struct SemaphoreRecord {
    sem_t semaphore;
    sem_t* object;
    char name[kNameSize];
    LONG initial;
    LONG maximum;
    LONG inUse;
    LONG references;
    LONG named;     // 0: created without a name, never matched by another create
    LONG closing;   // set while the last close waits for blocked threads to leave
    LONG waiters;   // threads inside a wait on this slot
};

SemaphoreRecord g_slots[kSemaphoreCount];
constinit SlotTable<SemaphoreRecord> SemaphoreSlot;
TableLock& semaphorelock = SemaphoreSlot.lock;

// The slot a handle names if it holds a live semaphore, else null.
SemaphoreRecord* live_slot(HANDLE handle) {
    uint32_t value = handle_value(handle);
    if (value == kInvalidHandleValue) return nullptr;
    uint32_t index = handle_index(value);
    if (index >= kSemaphoreCount) return nullptr;
    SemaphoreRecord* slot = &g_slots[index];
    if (load(slot->inUse) != 1 || load(slot->closing) != 0) return nullptr;
    return slot;
}

void leave_wait(void* slot) {
    __atomic_sub_fetch(&static_cast<SemaphoreRecord*>(slot)->waiters, 1, __ATOMIC_SEQ_CST);
}

// One try, without blocking.
bool try_take(SemaphoreRecord* slot) {
    for (;;) {
        if (sem_trywait(slot->object) == 0) return true;
        if (errno != EINTR) return false;
    }
}

void sleep_ms(long milliseconds) {
    struct timespec interval = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    Nanosleep(&interval, nullptr);
}

DWORD wait_slot(SemaphoreRecord* slot, DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        for (;;) {
            if (sem_wait(slot->object) == 0) return WAIT_OBJECT_0;
            if (errno != EINTR) return kWaitAbandoned;
        }
    }
    if (try_take(slot)) return WAIT_OBJECT_0;
    // Polling in one-second steps, then the remainder: a release during a sleep is seen at the
    // next try.
    DWORD seconds = milliseconds / 1000;
    DWORD rest = milliseconds % 1000;
    for (DWORD i = 0; i < seconds; ++i) {
        sleep_ms(1000);
        if (load(slot->closing)) return kWaitAbandoned;
        if (try_take(slot)) return WAIT_OBJECT_0;
    }
    if (rest != 0) {
        sleep_ms(rest);
        if (load(slot->closing)) return kWaitAbandoned;
        if (try_take(slot)) return WAIT_OBJECT_0;
    }
    return WAIT_TIMEOUT;
}

void clear_slot(SemaphoreRecord* slot) {
    memset(static_cast<void*>(slot), 0, sizeof *slot);
    // A late release or wait through a stale handle finds the slot closing and backs off.
    slot->closing = 1;
}

}  // namespace
}  // namespace tarvex

using namespace tarvex;

extern "C" {

TARVEX_API int InitSemaphores(void) {
    with_lock(semaphorelock, [&] {
        if (SemaphoreSlot.records == nullptr) {
            SemaphoreSlot.adopt(g_slots, kSemaphoreCount);
        } else {
            for (uint32_t i = 0; i < kSemaphoreCount; ++i) {
                if (!g_slots[i].inUse) continue;
                sem_destroy(g_slots[i].object);
                clear_slot(&g_slots[i]);
                SemaphoreSlot.mark_free(i);
            }
        }
    });
    return 0;
}

TARVEX_API void FreeAllSemaphores(void) {
    with_lock(semaphorelock, [&] {
        if (SemaphoreSlot.records == nullptr) return;
        for (uint32_t i = 0; i < kSemaphoreCount; ++i) {
            SemaphoreRecord* slot = &g_slots[i];
            if (!slot->inUse) continue;
            store(slot->closing, 1);
            for (int spins = 0; load(slot->waiters) != 0; ++spins) {
                sem_post(slot->object);
                spins < 100 ? (void)sched_yield() : sleep_ms(1);
            }
            sem_destroy(slot->object);
            clear_slot(slot);
            SemaphoreSlot.mark_free(i);
        }
    });
}

TARVEX_API HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG initial_count, LONG maximum_count,
                                   LPCSTR name) {
    bool named = name != nullptr && name[0] != '\0';
    return with_lock(semaphorelock, [&]() -> HANDLE {
        if (SemaphoreSlot.records == nullptr) SemaphoreSlot.adopt(g_slots, kSemaphoreCount);
        // A live semaphore of the same name anywhere in the table is the one the caller means,
        // even when a free slot comes before it.
        int64_t existing = !named ? -1 : SemaphoreSlot.find([name](const SemaphoreRecord& slot) {
            return slot.inUse && !slot.closing && slot.named && strcasecmp(slot.name, name) == 0;
        });
        if (existing >= 0)
            return SemaphoreSlot.reopen(static_cast<uint32_t>(existing), kTagSemaphore);
        int64_t index = SemaphoreSlot.lowest_free();
        if (index < 0) {
            UnixLog("CreateSemaphore: too many semaphores");
            return INVALID_HANDLE_VALUE;
        }
        SemaphoreRecord* slot = &g_slots[index];
        Strcpy(slot->name, named ? name : "", kNameSize);
        slot->named = named ? 1 : 0;
        slot->references = 1;
        slot->initial = initial_count;
        slot->maximum = maximum_count;
        slot->object = &slot->semaphore;
        slot->waiters = 0;
        if (initial_count < 0 || sem_init(slot->object, 0, static_cast<unsigned>(initial_count)) != 0) {
            clear_slot(slot);
            return INVALID_HANDLE_VALUE;
        }
        store(slot->inUse, 1);
        store(slot->closing, 0);
        SemaphoreSlot.mark_used(static_cast<uint32_t>(index));
        return make_handle(static_cast<uint32_t>(index), kTagSemaphore);
    });
}

TARVEX_API HANDLE OpenSemaphoreA(DWORD, BOOL, LPCSTR) { return INVALID_HANDLE_VALUE; }

TARVEX_API BOOL ReleaseSemaphore(HANDLE semaphore, LONG release_count, LPLONG previous_count) {
    SemaphoreRecord* slot = live_slot(semaphore);
    if (slot == nullptr || release_count < 0) return FALSE;
    if (previous_count != nullptr) {
        int value = 0;
        sem_getvalue(slot->object, &value);
        *previous_count = value;
    }
    BOOL result = TRUE;
    for (LONG i = 0; i < release_count; ++i)
        if (sem_post(slot->object) != 0) result = FALSE;
    return result;
}

TARVEX_API DWORD WaitForSemaphore(HANDLE semaphore, DWORD milliseconds) {
    SemaphoreRecord* slot = live_slot(semaphore);
    if (slot == nullptr) return kWaitAbandoned;
    if (milliseconds == 0) return try_take(slot) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    __atomic_add_fetch(&slot->waiters, 1, __ATOMIC_SEQ_CST);
    DWORD result = kWaitAbandoned;
    // The closing check after registering pairs with the closer's check of `waiters` after it
    // sets `closing`: either this thread backs off or the closer waits for it.
    with_cancel_cleanup(leave_wait, slot, [&] {
        if (load(slot->closing) == 0) result = wait_slot(slot, milliseconds);
        if (load(slot->closing) != 0) result = kWaitAbandoned;
    });
    leave_wait(slot);
    return result;
}

TARVEX_API BOOL CloseSemaphore(HANDLE semaphore) {
    uint32_t index = handle_index(handle_value(semaphore));
    if (index >= kSemaphoreCount) return FALSE;
    SemaphoreRecord* slot = &g_slots[index];
    enum Outcome { kNotLive, kStillReferenced, kLastClose };
    Outcome outcome = with_lock(semaphorelock, [&]() -> Outcome {
        if (!slot->inUse || slot->closing) return kNotLive;
        if (--slot->references > 0) return kStillReferenced;
        store(slot->closing, 1);
        return kLastClose;
    });
    if (outcome != kLastClose) return outcome == kStillReferenced ? TRUE : FALSE;
    // Blocked waiters are woken with spare units and find the slot closing; polling waiters
    // notice at their next try. The slot stays claimed (in use, closing) until they are gone.
    for (int spins = 0; load(slot->waiters) != 0; ++spins) {
        sem_post(slot->object);
        spins < 100 ? (void)sched_yield() : sleep_ms(1);
    }
    return with_lock(semaphorelock, [&]() -> BOOL {
        int rc = sem_destroy(slot->object);
        clear_slot(slot);
        SemaphoreSlot.mark_free(index);
        return rc == 0 ? TRUE : FALSE;
    });
}

}  // extern "C"
