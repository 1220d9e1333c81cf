// Events: the event table (EventSlot, guarded by eventlock) and the set/reset/pulse/wait/close
// operations on its records.
//
// eventlock serialises create, open, close and the release of the whole table. Set, reset, pulse
// and wait take only the record's own lock, so they run in parallel with table operations on
// other records. Each of them is a use of the record (core/lifetime.h): the last close, and
// FreeAllEvents for the whole table, wake the waiters and wait for every use to end before a
// record's primitives or the table's array go.
//
// Release rules. A waiter records the `generation` when it starts; set and pulse of a manual-reset
// event and the last close advance it and broadcast, releasing exactly the threads waiting at that
// moment. For an auto-reset event a set or pulse that finds a waiter without a pending release
// hands one `token` to the waiters and signals once; the waiter that takes it is released and the
// event stays non-signalled, so one set releases exactly one thread. A wake-up that finds neither
// a new generation nor a token is spurious and the waiter goes back to sleep.
#include <tarvex/core.h>
#include <tarvex/sync.h>
#include <tarvex/text.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "core/atomic.h"
#include "core/deadline.h"
#include "core/lifetime.h"
#include "core/handle.h"
#include "core/kinds.h"
#include "core/lock.h"
#include "core/termination.h"
#include "core/slot_table.h"
#include "core/test_hook.h"

namespace tarvex {
namespace {

constexpr char kUnnamed[] = "EventWithNoName";
constexpr int kNameSize = 260;
constexpr DWORD kWaitFailed = 128;

constinit SlotTable<EVENT_RECORD> EventSlot;
TableLock& eventlock = EventSlot.lock;

// Condition variables measure time-outs on the monotonic clock, so a change of the wall clock
// neither stretches nor cuts a wait.
pthread_once_t g_attr_once = PTHREAD_ONCE_INIT;
pthread_condattr_t g_monotonic_attr;
void make_monotonic_attr() {
    pthread_condattr_init(&g_monotonic_attr);
    pthread_condattr_setclock(&g_monotonic_attr, CLOCK_MONOTONIC);
}

// Wakes the waiters a release is for. Runs under the record's lock.
void release_waiters(EVENT_RECORD* record) {
    if (record->waiters == 0) return;
    if (record->manualReset) {
        ++record->generation;
        pthread_cond_broadcast(&record->wake);
    } else if (record->tokens < record->waiters) {
        ++record->tokens;
        pthread_cond_signal(&record->wake);
    }
}

// The last close's wake-up: every waiter is released and returns 0.
void wake_all(EVENT_RECORD* record) {
    with_lock(record->lock, [&] {
        ++record->generation;
        pthread_cond_broadcast(&record->wake);
    });
}

// Clears what a closed event leaves in its record; safe to repeat. A table record keeps its idle
// lock, condition variable and name buffer for the next event it holds.
void clear_event(EVENT_RECORD* record) {
    record->manualReset = 0;
    record->state = 0;
    record->generation = 0;
    record->tokens = 0;
    record->waiters = 0;
    if (record->nameOwned && record->name != nullptr)
        record->name[0] = '\0';
    else
        record->name = nullptr;
    __atomic_store_n(&record->inUse, 0, __ATOMIC_RELEASE);
}

// Ends an event in a record that keeps nothing (the caller's own records, the table's when it is
// released): clears it, destroys the primitives and frees the name. Returns what destroying the
// condition variable said. Callers hold cancellation off: freeing twice is not an option.
int release_primitives(EVENT_RECORD* record) {
    if (record->inUse) clear_event(record);
    int rc = 0;
    if (record->primitivesReady) {
        record->primitivesReady = 0;
        pthread_mutex_destroy(&record->lock);
        rc = pthread_cond_destroy(&record->wake);
        memset(static_cast<void*>(&record->lock), 0, sizeof record->lock);
        memset(static_cast<void*>(&record->wake), 0, sizeof record->wake);
    }
    char* name = record->nameOwned ? record->name : nullptr;
    record->name = nullptr;
    record->nameOwned = 0;
    free(name);
    __atomic_store_n(&record->inUse, 0, __ATOMIC_RELEASE);
    return rc;
}

// What the last release_primitives of this thread said, for CloseEventIn's result.
thread_local int t_released_rc = 0;

void end_primitives(EVENT_RECORD* record) { t_released_rc = release_primitives(record); }

// The last close of a table event. The record is freed in the bitmap before it says so itself:
// a close cancelled in between is finished by the table lock's clean-up, which still finds it
// in use.
void end_table_event(EVENT_RECORD* record) {
    EventSlot.mark_free(static_cast<uint32_t>(record - EventSlot.records));
    clear_event(record);
}

// Fills a record. A live record gets one more reference instead. `name` is copied into the
// record's buffer when copy_name is set.
EVENT_RECORD* create_in(EVENT_RECORD* record, BOOL manual_reset, BOOL initial_state,
                        const char* name, BOOL copy_name, BOOL explicit_attributes) {
    if (record == nullptr) return nullptr;
    if (is_live(*record)) {
        add_reference(*record);
        if (explicit_attributes) SetLastError(ERROR_ALREADY_EXISTS);
        return record;
    }
    bool allocated = false;
    if (copy_name && !(record->nameOwned && record->name != nullptr)) {
        record->name = static_cast<char*>(malloc(kNameSize));
        if (record->name == nullptr) {
            UnixLog("CreateEventIn: Out of memory");
            return nullptr;
        }
        record->nameOwned = 1;
        allocated = true;
    }
    int rc = 0;
    if (!record->primitivesReady) pthread_once(&g_attr_once, make_monotonic_attr);
    if (record->primitivesReady) {
        // An idle pair kept from the record's previous event.
    } else if (explicit_attributes) {
        pthread_mutexattr_t mutex_attr;
        pthread_mutexattr_init(&mutex_attr);
        rc = pthread_mutex_init(&record->lock, &mutex_attr);
        pthread_mutexattr_destroy(&mutex_attr);
    } else {
        rc = pthread_mutex_init(&record->lock, nullptr);
    }
    if (rc == 0 && !record->primitivesReady &&
        pthread_cond_init(&record->wake, &g_monotonic_attr) != 0) {
        pthread_mutex_destroy(&record->lock);
        rc = -1;
    }
    if (rc != 0) {
        if (allocated) {
            free(record->name);
            record->name = nullptr;
            record->nameOwned = 0;
        }
        return nullptr;
    }
    record->primitivesReady = 1;
    if (copy_name) {
        Strcpy(record->name, name != nullptr ? name : "", kNameSize);
    } else {
        if (record->nameOwned) free(record->name);
        record->name = const_cast<char*>(name);
        record->nameOwned = 0;
    }
    record->manualReset = manual_reset ? 1 : 0;
    record->state = initial_state ? 1 : 0;
    record->generation = 0;
    record->tokens = 0;
    record->waiters = 0;
    store(record->references, LONG{1});
    store(record->inUse, LONG{1});
    SetLastError(0);
    return record;
}

// Unregisters a waiter that leaves without a release (time-out, failure, cancellation). A token
// handed to the waiters that nobody is left to take becomes the signalled state again, so a set
// is never lost. Under the record's lock.
void drop_waiter(EVENT_RECORD* record) {
    --record->waiters;
    if (record->tokens > record->waiters) {
        --record->tokens;
        record->state = 1;
    }
}

// A waiter's entry in `waiters`, and whether it is still there. The record's lock is held with
// cancellation deferred (core/lock.h), so a cancellation reaches a waiter only inside its
// condition wait, which takes the lock back before the clean-up runs.
struct Waiter {
    EVENT_RECORD* record;
    bool counted;
};

void forget_waiter(void* arg) {
    auto* waiter = static_cast<Waiter*>(arg);
    if (waiter->counted) drop_waiter(waiter->record);
    waiter->counted = false;
}

enum class Woken { kReleased, kByToken, kTimedOut, kFailed };

// Blocks until a release, a time-out or a failure; counted in `waiters` meanwhile. Under the
// record's lock, with the state found not signalled.
Woken block_in(EVENT_RECORD* record, DWORD milliseconds) {
    struct timespec deadline = monotonic_deadline(milliseconds == INFINITE ? 0 : milliseconds);
    DWORD start_generation = record->generation;
    Waiter waiter{record, true};
    ++record->waiters;
    Woken woken = Woken::kFailed;
    pthread_cleanup_push(forget_waiter, &waiter);
    test_hook("event-waiter-counted", record);
    for (;;) {
        int rc = at_cancel_point([&] {
            return milliseconds == INFINITE
                       ? Pthread_cond_wait(&record->wake, &record->lock)
                       : Pthread_cond_timedwait(&record->wake, &record->lock, &deadline);
        });
        if (record->generation != start_generation) {
            woken = Woken::kReleased;
        } else if (!record->manualReset && record->tokens > 0) {
            woken = Woken::kByToken;
        } else if (rc == ETIMEDOUT) {
            woken = Woken::kTimedOut;
        } else if (rc != 0) {
            woken = Woken::kFailed;
        } else {
            continue;  // spurious
        }
        break;
    }
    waiter.counted = false;
    if (woken == Woken::kByToken) --record->tokens;
    if (woken == Woken::kReleased || woken == Woken::kByToken)
        --record->waiters;
    else
        drop_waiter(record);
    pthread_cleanup_pop(0);
    return woken;
}

DWORD wait_locked(EVENT_RECORD* record, DWORD milliseconds) {
    return with_lock(record->lock, [&]() -> DWORD {
        // A record whose last handle is being closed releases everyone.
        if (load(record->references) == 0) return WAIT_OBJECT_0;
        if (milliseconds == 0) return record->state ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
        if (record->state) {
            if (!record->manualReset) record->state = 0;
            return WAIT_OBJECT_0;
        }
        switch (block_in(record, milliseconds)) {
            case Woken::kReleased:
            case Woken::kByToken:
                return WAIT_OBJECT_0;
            case Woken::kTimedOut:
                return WAIT_TIMEOUT;
            default:
                return kWaitFailed;
        }
    });
}

BOOL set_locked(EVENT_RECORD* record) {
    with_lock(record->lock, [&] {
        if (record->state) return;
        if (!record->manualReset && record->tokens < record->waiters) {
            // Handed straight to one waiter: the event stays non-signalled.
            ++record->tokens;
            pthread_cond_signal(&record->wake);
            return;
        }
        record->state = 1;
        release_waiters(record);
    });
    return TRUE;
}

BOOL reset_locked(EVENT_RECORD* record) {
    if (!record->manualReset) return FALSE;
    with_lock(record->lock, [&] { record->state = 0; });
    return TRUE;
}

BOOL pulse_locked(EVENT_RECORD* record) {
    with_lock(record->lock, [&] {
        release_waiters(record);
        record->state = 0;
    });
    return TRUE;
}

// Runs operation(record) as a use of the event `handle` names; "<name>: Invalid handle" is logged
// for a handle that names no live event.
template <class Result, class Operation>
Result with_event(HANDLE handle, const char* name, Result failure, Operation operation) {
    Result result = failure;
    Use use = use_handle(EventSlot, handle, [&](EVENT_RECORD* record) { result = operation(record); });
    if (use == Use::kNotLive) UnixLog("%s: Invalid handle", name);
    if (use == Use::kNoSlot) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return result;
}

// The same for a record in the caller's memory.
template <class Result, class Operation>
Result with_record(EVENT_RECORD* record, Result failure, Operation operation) {
    Result result = failure;
    if (use_record(record, [&](EVENT_RECORD* live) { result = operation(live); }) == Use::kNoSlot)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return result;
}

// First live event with exactly this name, in index order; -1 if none. Under eventlock.
int64_t find_named(const char* name) {
    return find_live(EventSlot, [name](const EVENT_RECORD& record) {
        return record.name != nullptr && strcmp(record.name, name) == 0;
    });
}

}  // namespace

bool event_is_live(HANDLE handle) { return names_live(EventSlot, handle); }

}  // namespace tarvex

using namespace tarvex;

extern "C" {

TARVEX_API int InitEvents(DWORD count) { return open_table(EventSlot, count); }

TARVEX_API void FreeAllEvents(void) {
    release_table<EVENT_RECORD, wake_all, end_primitives>(
        EventSlot, [](EVENT_RECORD* record) { release_primitives(record); });
}

TARVEX_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state,
                               LPCSTR name) {
    bool named = name != nullptr && name[0] != '\0';
    return with_lock(eventlock, [&]() -> HANDLE {
        test_hook("event-table-locked");
        if (EventSlot.records == nullptr) {
            UnixLog("CreateEvent: Too many events");
            return INVALID_HANDLE_VALUE;
        }
        int64_t existing = named ? find_named(name) : -1;
        if (existing >= 0) {
            add_reference(EventSlot.records[existing]);
            SetLastError(ERROR_ALREADY_EXISTS);
            return make_handle(static_cast<uint32_t>(existing), kTagEvent);
        }
        bool full = false;
        // Unnamed events share one constant name instead of a buffer each.
        int64_t index = claim_record(EventSlot, full, [&](EVENT_RECORD* record) {
            return (named ? create_in(record, manual_reset, initial_state, name, TRUE, FALSE)
                          : create_in(record, manual_reset, initial_state, kUnnamed, FALSE,
                                      FALSE)) != nullptr;
        });
        if (full) UnixLog("CreateEvent: Too many events");
        return index < 0 ? INVALID_HANDLE_VALUE : make_handle(static_cast<uint32_t>(index), kTagEvent);
    });
}

TARVEX_API HANDLE OpenEventA(DWORD, BOOL, LPCSTR name) {
    if (name == nullptr) return nullptr;
    return with_lock(eventlock, [&]() -> HANDLE {
        int64_t existing = find_named(name);
        if (existing < 0) return static_cast<HANDLE>(nullptr);
        add_reference(EventSlot.records[existing]);
        return make_handle(static_cast<uint32_t>(existing), kTagEvent);
    });
}

TARVEX_API BOOL SetEvent(HANDLE event) {
    if (handle_value(event) == kInvalidHandleValue) return FALSE;
    return with_event(event, "SetEvent", FALSE, set_locked);
}

TARVEX_API BOOL ResetEvent(HANDLE event) {
    if (handle_value(event) == kInvalidHandleValue) return FALSE;
    return with_event(event, "ResetEvent", FALSE, reset_locked);
}

TARVEX_API BOOL PulseEvent(HANDLE event) {
    if (handle_value(event) == kInvalidHandleValue) return FALSE;
    return with_event(event, "PulseEvent", FALSE, pulse_locked);
}

TARVEX_API DWORD WaitForEvent(HANDLE event, DWORD milliseconds) {
    return with_event(event, "WaitForEvent", kWaitFailed, [milliseconds](EVENT_RECORD* record) {
        return wait_locked(record, milliseconds);
    });
}

TARVEX_API BOOL CloseEvent(HANDLE event) {
    uint32_t index = handle_index(handle_value(event));
    return with_lock(eventlock, [&]() -> BOOL {
        if (close_reference<EVENT_RECORD, wake_all, end_table_event>(EventSlot.at(index)) ==
            Closed::kNotLive) {
            UnixLog("CloseEvent: Invalid handle");
            return FALSE;
        }
        return TRUE;
    });
}

TARVEX_API EVENT_RECORD* CreateEventIn(EVENT_RECORD* record, BOOL manual_reset,
                                       BOOL initial_state, LPCSTR name, BOOL copy_name,
                                       BOOL explicit_attributes) {
    return create_in(record, manual_reset, initial_state, name, copy_name, explicit_attributes);
}

TARVEX_API BOOL SetEventIn(EVENT_RECORD* record) { return with_record(record, FALSE, set_locked); }

TARVEX_API BOOL ResetEventIn(EVENT_RECORD* record) {
    return with_record(record, FALSE, reset_locked);
}

TARVEX_API BOOL PulseEventIn(EVENT_RECORD* record) {
    return with_record(record, FALSE, pulse_locked);
}

TARVEX_API DWORD WaitForEventIn(EVENT_RECORD* record, DWORD milliseconds) {
    return with_record(record, kWaitFailed, [milliseconds](EVENT_RECORD* live) {
        return wait_locked(live, milliseconds);
    });
}

// No table lock serialises this close, so it runs with cancellation held off throughout.
TARVEX_API BOOL CloseEventIn(EVENT_RECORD* record) {
    t_released_rc = 0;
    Closed closed = without_cancellation(
        [record] { return close_reference<EVENT_RECORD, wake_all, end_primitives>(record); });
    if (closed == Closed::kNotLive) return FALSE;
    return t_released_rc == 0 ? TRUE : FALSE;
}

}  // extern "C"
