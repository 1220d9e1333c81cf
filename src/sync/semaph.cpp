// Semaphores: a fixed table of 256 process-private POSIX semaphores (SemaphoreSlot, guarded by
// semaphorelock). A name only lets two creates of this process reach the same semaphore.
//
// semaphorelock covers create and close. Release and wait go straight to the POSIX semaphore,
// which is thread-safe, so they take no lock; each is a use of the slot (core/lifetime.h), and
// the last close wakes the threads blocked in it and waits for every use to end before the POSIX
// semaphore is destroyed and the slot can be reused.
//
// A wait with a time-out polls in one-second steps. Between tries it naps on a condition that
// every last close broadcasts, so a close does not have to wait out a waiter's step.
#include <tarvex/core.h>
#include <tarvex/sync.h>
#include <tarvex/text.h>

#include <errno.h>
#include <semaphore.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include "core/atomic.h"
#include "core/deadline.h"
#include "core/lifetime.h"
#include "core/handle.h"
#include "core/kinds.h"
#include "core/lock.h"
#include "core/slot_table.h"
#include "core/termination.h"

namespace tarvex {
namespace {

constexpr uint32_t kSemaphoreCount = 256;
constexpr int kNameSize = 260;
// What a wait returns when the semaphore's last handle was closed while it waited: it got no
// unit, and this is the library's "wait could not be carried out" answer.
constexpr DWORD kWaitAbandoned = 128;

struct SemaphoreRecord {
    sem_t semaphore;
    char name[kNameSize];
    LONG initial;
    LONG maximum;
    LONG inUse;
    LONG references;
    LONG named;  // 0: created without a name, never matched by another create
};

SemaphoreRecord g_slots[kSemaphoreCount];
constinit SlotTable<SemaphoreRecord> SemaphoreSlot;
TableLock& semaphorelock = SemaphoreSlot.lock;

// Where polling waiters nap between tries; a last close broadcasts.
pthread_mutex_t g_nap_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_nap = PTHREAD_COND_INITIALIZER;

// One try, without blocking.
bool try_take(SemaphoreRecord* slot) {
    for (;;) {
        if (sem_trywait(&slot->semaphore) == 0) return true;
        if (errno != EINTR) return false;
    }
}

bool closing(const SemaphoreRecord* slot) { return load(slot->references) == 0; }

// Sleeps `milliseconds`, or less if the slot's last handle is closed meanwhile.
void nap(SemaphoreRecord* slot, DWORD milliseconds) {
    struct timespec until = monotonic_deadline(milliseconds);
    with_lock(g_nap_lock, [&] {
        while (!closing(slot) && at_cancel_point([&] {
                   return pthread_cond_clockwait(&g_nap, &g_nap_lock, CLOCK_MONOTONIC, &until);
               }) != ETIMEDOUT) {
        }
    });
}

// Waits that may block; out of line, so that the wait with time-out 0 stays short.
__attribute__((noinline)) DWORD wait_slot(SemaphoreRecord* slot, DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        for (;;) {
            if (at_cancel_point([slot] { return sem_wait(&slot->semaphore); }) == 0)
                return WAIT_OBJECT_0;
            if (errno != EINTR) return kWaitAbandoned;
        }
    }
    if (try_take(slot)) return WAIT_OBJECT_0;
    // Polling in one-second steps, then the remainder: a release during a nap is seen at the
    // next try.
    DWORD seconds = milliseconds / 1000;
    DWORD rest = milliseconds % 1000;
    for (DWORD i = 0; i <= seconds; ++i) {
        DWORD step = i < seconds ? 1000 : rest;
        if (step == 0) break;
        nap(slot, step);
        if (closing(slot)) return kWaitAbandoned;
        if (try_take(slot)) return WAIT_OBJECT_0;
    }
    return WAIT_TIMEOUT;
}

// The last close's wake-up: a spare unit for a thread blocked in sem_wait, a broadcast for the
// nappers. Both find the slot closing.
void wake_waiters(SemaphoreRecord* slot) {
    sem_post(&slot->semaphore);
    with_lock(g_nap_lock, [] { pthread_cond_broadcast(&g_nap); });
}

// Safe to repeat: destroying a glibc semaphore twice does nothing. Freed in the bitmap first, as
// the lifetime mechanism wants.
void destroy_slot(SemaphoreRecord* slot) {
    SemaphoreSlot.mark_free(static_cast<uint32_t>(slot - g_slots));
    sem_destroy(&slot->semaphore);
    slot->name[0] = '\0';
    slot->named = 0;
    store(slot->inUse, LONG{0});
}

bool post_one(SemaphoreRecord* slot) {
    return in_one_piece([slot] { return sem_post(&slot->semaphore); }) == 0;
}

// Releases of more than one unit, or that report the previous count; out of line, so that the
// common release of one unit stays short.
__attribute__((noinline)) BOOL release_units(SemaphoreRecord* slot, LONG count, LPLONG previous) {
    if (previous != nullptr) {
        int value = 0;
        sem_getvalue(&slot->semaphore, &value);
        *previous = value;
    }
    BOOL result = TRUE;
    for (LONG i = 0; i < count; ++i)
        if (!post_one(slot)) result = FALSE;
    return result;
}

void end_every_slot() {
    for (SemaphoreRecord& slot : g_slots) end_record<SemaphoreRecord, wake_waiters, destroy_slot>(&slot);
}

}  // namespace

bool semaphore_is_live(HANDLE handle) { return names_live(SemaphoreSlot, handle); }

}  // namespace tarvex

using namespace tarvex;

extern "C" {

TARVEX_API int InitSemaphores(void) {
    without_cancellation([] {
        with_lock(semaphorelock, [&] {
            if (SemaphoreSlot.records == nullptr)
                SemaphoreSlot.adopt(g_slots, kSemaphoreCount);
            else
                end_every_slot();
        });
    });
    return 0;
}

TARVEX_API void FreeAllSemaphores(void) {
    without_cancellation([] {
        with_lock(semaphorelock, [&] {
            if (SemaphoreSlot.records != nullptr) end_every_slot();
        });
    });
}

TARVEX_API HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG initial_count, LONG maximum_count,
                                   LPCSTR name) {
    bool named = name != nullptr && name[0] != '\0';
    return with_lock(semaphorelock, [&]() -> HANDLE {
        if (SemaphoreSlot.records == nullptr) SemaphoreSlot.adopt(g_slots, kSemaphoreCount);
        // A live semaphore of the same name anywhere in the table is the one the caller means,
        // even when a free slot comes before it.
        int64_t existing = !named ? -1 : find_live(SemaphoreSlot, [name](const SemaphoreRecord& slot) {
            return slot.named && strcasecmp(slot.name, name) == 0;
        });
        if (existing >= 0) {
            add_reference(g_slots[existing]);
            SetLastError(ERROR_ALREADY_EXISTS);
            return make_handle(static_cast<uint32_t>(existing), kTagSemaphore);
        }
        bool full = false;
        int64_t index = claim_record(SemaphoreSlot, full, [&](SemaphoreRecord* slot) {
            if (initial_count < 0 ||
                sem_init(&slot->semaphore, 0, static_cast<unsigned>(initial_count)) != 0)
                return false;
            Strcpy(slot->name, named ? name : "", kNameSize);
            slot->named = named ? 1 : 0;
            slot->initial = initial_count;
            slot->maximum = maximum_count;
            store(slot->references, LONG{1});
            store(slot->inUse, LONG{1});
            return true;
        });
        if (full) UnixLog("CreateSemaphore: too many semaphores");
        return index < 0 ? INVALID_HANDLE_VALUE
                         : make_handle(static_cast<uint32_t>(index), kTagSemaphore);
    });
}

TARVEX_API HANDLE OpenSemaphoreA(DWORD, BOOL, LPCSTR) { return INVALID_HANDLE_VALUE; }

TARVEX_API BOOL ReleaseSemaphore(HANDLE semaphore, LONG release_count, LPLONG previous_count) {
    if (release_count < 0) return FALSE;
    BOOL result = FALSE;
    use_handle(SemaphoreSlot, semaphore, [&](SemaphoreRecord* slot) {
        if (__builtin_expect(release_count == 1 && previous_count == nullptr, 1))
            result = post_one(slot) ? TRUE : FALSE;
        else
            result = release_units(slot, release_count, previous_count);
    });
    return result;
}

TARVEX_API DWORD WaitForSemaphore(HANDLE semaphore, DWORD milliseconds) {
    DWORD result = kWaitAbandoned;
    use_handle(SemaphoreSlot, semaphore, [&](SemaphoreRecord* slot) {
        if (milliseconds == 0)
            result = try_take(slot) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
        else
            result = wait_slot(slot, milliseconds);
        // A unit taken from a closing semaphore is one of the spares its close posts.
        if (closing(slot)) result = kWaitAbandoned;
    });
    return result;
}

TARVEX_API BOOL CloseSemaphore(HANDLE semaphore) {
    uint32_t index = handle_index(handle_value(semaphore));
    return with_lock(semaphorelock, [&]() -> BOOL {
        Closed closed =
            close_reference<SemaphoreRecord, wake_waiters, destroy_slot>(SemaphoreSlot.at(index));
        return closed != Closed::kNotLive ? TRUE : FALSE;
    });
}

}  // extern "C"
