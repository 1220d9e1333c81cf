// Events: the event table (EventSlot, guarded by eventlock) and the set/reset/pulse/wait/close
// operations on its records.
//
// eventlock serialises create, open, close and the release of the whole table. Set, reset, pulse
// and wait take only the record's own lock, so they run in parallel with table operations on
// other records. That leaves two lifetimes to protect without eventlock:
//   - a record's lock and condition variable, destroyed by the last close while other threads
//     may still be inside an operation on it: every operation registers in the record's `users`
//     and re-checks `closing` afterwards; the closer sets `closing`, wakes every waiter and waits
//     for `users` to drain before it destroys anything (the two sides form a store-then-load
//     handshake, both sequentially consistent, so one of them always sees the other);
//   - the table array, freed by FreeAllEvents: handle operations register in g_table_users
//     before they read the array, and FreeAllEvents empties the table first and then waits for
//     that count to drain.
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
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <type_traits>

#include "core/atomic.h"
#include "core/handle.h"
#include "core/lock.h"
#include "core/slot_table.h"
#include "core/test_hook.h"

namespace tarvex {
namespace {

constexpr char kUnnamed[] = "EventWithNoName";
constexpr int kNameSize = 260;
constexpr DWORD kWaitFailed = 128;

constinit SlotTable<EVENT_RECORD> EventSlot;
TableLock& eventlock = EventSlot.lock;
// Handle operations currently reading the table array.
constinit int g_table_users = 0;

// Condition variables measure time-outs on the monotonic clock, so a change of the wall clock
// neither stretches nor cuts a wait.
pthread_once_t g_attr_once = PTHREAD_ONCE_INIT;
pthread_condattr_t g_monotonic_attr;
void make_monotonic_attr() {
    pthread_condattr_init(&g_monotonic_attr);
    pthread_condattr_setclock(&g_monotonic_attr, CLOCK_MONOTONIC);
}

void wait_until_drained(const LONG& counter) {
    for (int spins = 0; load(counter) != 0; ++spins) {
        if (spins < 100) {
            sched_yield();
        } else {
            struct timespec pause = {0, 200000};
            Nanosleep(&pause, nullptr);
        }
    }
}

// Registers the caller as a user of `record`; false when the record holds no live event.
bool enter_record(EVENT_RECORD* record) {
    add(record->users, 1);
    if (load(record->closing) == 0 && load(record->inUse) == 1) return true;
    add(record->users, -1);
    return false;
}

void leave_record(void* record) { add(static_cast<EVENT_RECORD*>(record)->users, -1); }

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

// Ends the event held by `record`: wakes every waiter (each returns 0), lets every running
// operation finish, then destroys the primitives and clears the record. The record keeps
// `closing` set while free so a late operation through a stale handle backs off.
BOOL destroy_event(EVENT_RECORD* record, bool keep_name_buffer, bool keep_primitives) {
    store(record->closing, 1);
    // Every waiter is a registered user, so with no users there is nobody to wake; a user that
    // registers from now on sees `closing` and backs off without touching the primitives.
    if (load(record->users) != 0) {
        with_lock(record->lock, [&] {
            ++record->generation;
            pthread_cond_broadcast(&record->wake);
        });
        wait_until_drained(record->users);
    }
    // A table record keeps its (now idle) lock and condition variable for the next event it
    // holds; they are destroyed with the table. A caller's record is handed back clean.
    int rc = 0;
    if (!keep_primitives) {
        pthread_mutex_destroy(&record->lock);
        rc = pthread_cond_destroy(&record->wake);
        memset(static_cast<void*>(&record->lock), 0, sizeof record->lock);
        memset(static_cast<void*>(&record->wake), 0, sizeof record->wake);
        record->primitivesReady = 0;
    }
    record->manualReset = 0;
    record->state = 0;
    record->references = 0;
    record->generation = 0;
    record->tokens = 0;
    record->waiters = 0;
    if (record->nameOwned && record->name != nullptr) {
        record->name[0] = '\0';
        if (!keep_name_buffer) {
            free(record->name);
            record->name = nullptr;
            record->nameOwned = 0;
        }
    } else {
        record->name = nullptr;
        record->nameOwned = 0;
    }
    __atomic_store_n(&record->inUse, 0, __ATOMIC_RELEASE);
    return rc == 0 ? TRUE : FALSE;
}

// Fills a free record. `name` is copied into the record's buffer when copy_name is set.
EVENT_RECORD* create_in(EVENT_RECORD* record, BOOL manual_reset, BOOL initial_state,
                        const char* name, BOOL copy_name, BOOL explicit_attributes) {
    if (record == nullptr) return nullptr;
    if (load(record->inUse) == 1) {
        add(record->references, 1);
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
    record->references = 1;
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
    __atomic_store_n(&record->inUse, 1, __ATOMIC_RELEASE);
    __atomic_store_n(&record->closing, 0, __ATOMIC_RELEASE);
    SetLastError(0);
    return record;
}

// Unregisters a waiter that leaves without a release (time-out, cancellation). A token handed
// to the waiters that nobody is left to take becomes the signalled state again, so a set is
// never lost.
void drop_waiter(EVENT_RECORD* record) {
    --record->waiters;
    if (record->tokens > record->waiters) {
        --record->tokens;
        record->state = 1;
    }
}

void drop_waiter_on_cancel(void* record) { drop_waiter(static_cast<EVENT_RECORD*>(record)); }

DWORD wait_in(EVENT_RECORD* record, DWORD milliseconds) {
    if (!enter_record(record)) return kWaitFailed;
    DWORD result = kWaitFailed;
    with_cancel_cleanup(leave_record, record, [&] {
        result = with_lock(record->lock, [&]() -> DWORD {
            if (load(record->closing)) return WAIT_OBJECT_0;
            if (milliseconds == 0) return record->state ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
            if (record->state) {
                if (!record->manualReset) record->state = 0;
                return WAIT_OBJECT_0;
            }
            struct timespec deadline;
            if (milliseconds != INFINITE) {
                clock_gettime(CLOCK_MONOTONIC, &deadline);
                deadline.tv_sec += milliseconds / 1000;
                deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
                while (deadline.tv_nsec > 999999999L) {
                    deadline.tv_nsec -= 1000000000L;
                    ++deadline.tv_sec;
                }
            }
            DWORD start_generation = record->generation;
            ++record->waiters;
            DWORD outcome = kWaitFailed;
            with_cancel_cleanup(drop_waiter_on_cancel, record, [&] {
                for (;;) {
                    int rc = milliseconds == INFINITE
                                 ? Pthread_cond_wait(&record->wake, &record->lock)
                                 : Pthread_cond_timedwait(&record->wake, &record->lock, &deadline);
                    if (record->generation != start_generation) {
                        --record->waiters;
                        outcome = WAIT_OBJECT_0;
                        return;
                    }
                    if (!record->manualReset && record->tokens > 0) {
                        --record->tokens;
                        --record->waiters;
                        outcome = WAIT_OBJECT_0;
                        return;
                    }
                    if (rc == ETIMEDOUT) {
                        drop_waiter(record);
                        outcome = WAIT_TIMEOUT;
                        return;
                    }
                    if (rc != 0) {
                        drop_waiter(record);
                        outcome = kWaitFailed;
                        return;
                    }
                }
            });
            return outcome;
        });
    });
    leave_record(record);
    return result;
}

// Handle to record for the handle operations; logs "<operation>: Invalid handle" and returns null
// for an index outside the table or a record that holds no event. On success the caller is
// registered in g_table_users and must call leave_table.
EVENT_RECORD* enter_table(HANDLE handle, const char* operation) {
    add(g_table_users, 1);
    uint32_t index = handle_index(handle_value(handle));
    EVENT_RECORD* records = load(EventSlot.records);
    if (records != nullptr && index < load(EventSlot.length) && load(records[index].inUse) == 1)
        return &records[index];
    add(g_table_users, -1);
    UnixLog("%s: Invalid handle", operation);
    return nullptr;
}

void leave_table() { add(g_table_users, -1); }

// First live event with exactly this name, in index order; -1 if none. Under eventlock.
int64_t find_named(const char* name) {
    return EventSlot.find([name](const EVENT_RECORD& record) {
        return record.inUse && record.name != nullptr && strcmp(record.name, name) == 0;
    });
}

void leave_table_cleanup(void*) { leave_table(); }

template <class Operation>
auto with_event(HANDLE handle, const char* name,
                std::invoke_result_t<Operation, EVENT_RECORD*> failure, Operation operation) {
    EVENT_RECORD* record = enter_table(handle, name);
    if (record == nullptr) return failure;
    decltype(failure) result = failure;
    with_cancel_cleanup(leave_table_cleanup, nullptr, [&] { result = operation(record); });
    leave_table();
    return result;
}

BOOL set_in(EVENT_RECORD* record) {
    if (!enter_record(record)) return FALSE;
    with_cancel_cleanup(leave_record, record, [&] {
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
    });
    leave_record(record);
    return TRUE;
}

BOOL reset_in(EVENT_RECORD* record) {
    if (record == nullptr || !record->manualReset) return FALSE;
    if (!enter_record(record)) return FALSE;
    with_cancel_cleanup(leave_record, record,
                        [&] { with_lock(record->lock, [&] { record->state = 0; }); });
    leave_record(record);
    return TRUE;
}

BOOL pulse_in(EVENT_RECORD* record) {
    if (!enter_record(record)) return FALSE;
    with_cancel_cleanup(leave_record, record, [&] {
        with_lock(record->lock, [&] {
            release_waiters(record);
            record->state = 0;
        });
    });
    leave_record(record);
    return TRUE;
}

}  // namespace
}  // namespace tarvex

using namespace tarvex;

extern "C" {

TARVEX_API int InitEvents(DWORD count) {
    return with_lock(eventlock, [&]() -> int {
        if (EventSlot.records != nullptr) return 0;
        if (!EventSlot.allocate(count)) {
            EventSlot.length = 0;
            return -1;
        }
        return 0;
    });
}

TARVEX_API void FreeAllEvents(void) {
    with_lock(eventlock, [&] {
        if (EventSlot.records == nullptr) return;
        // New handle operations now find no table; those already inside are waited for before
        // the storage goes.
        auto detached = EventSlot.detach();
        EVENT_RECORD* records = detached.records;
        for (uint32_t i = 0; i < detached.length; ++i) {
            EVENT_RECORD* record = &records[i];
            if (load(record->inUse) == 1) {
                destroy_event(record, false, false);
            } else {
                if (record->nameOwned) free(record->name);
                if (record->primitivesReady) {
                    pthread_mutex_destroy(&record->lock);
                    pthread_cond_destroy(&record->wake);
                }
            }
        }
        wait_until_drained(g_table_users);
        detached.free_storage();
    });
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
        if (existing >= 0) return EventSlot.reopen(static_cast<uint32_t>(existing), kTagEvent);
        int64_t index = EventSlot.lowest_free();
        if (index < 0) {
            UnixLog("CreateEvent: Too many events");
            return INVALID_HANDLE_VALUE;
        }
        EVENT_RECORD* record = &EventSlot.records[index];
        // Unnamed events share one constant name instead of a buffer each.
        EVENT_RECORD* created =
            named ? create_in(record, manual_reset, initial_state, name, TRUE, FALSE)
                  : create_in(record, manual_reset, initial_state, kUnnamed, FALSE, FALSE);
        if (created == nullptr) return INVALID_HANDLE_VALUE;
        EventSlot.mark_used(static_cast<uint32_t>(index));
        return make_handle(static_cast<uint32_t>(index), kTagEvent);
    });
}

TARVEX_API HANDLE OpenEventA(DWORD, BOOL, LPCSTR name) {
    if (name == nullptr) return nullptr;
    return with_lock(eventlock, [&]() -> HANDLE {
        int64_t existing = find_named(name);
        if (existing < 0) return static_cast<HANDLE>(nullptr);
        ++EventSlot.records[existing].references;
        return make_handle(static_cast<uint32_t>(existing), kTagEvent);
    });
}

TARVEX_API BOOL SetEvent(HANDLE event) {
    if (handle_value(event) == kInvalidHandleValue) return FALSE;
    return with_event(event, "SetEvent", FALSE, set_in);
}

TARVEX_API BOOL ResetEvent(HANDLE event) {
    if (handle_value(event) == kInvalidHandleValue) return FALSE;
    return with_event(event, "ResetEvent", FALSE, reset_in);
}

TARVEX_API BOOL PulseEvent(HANDLE event) {
    if (handle_value(event) == kInvalidHandleValue) return FALSE;
    return with_event(event, "PulseEvent", FALSE, pulse_in);
}

TARVEX_API DWORD WaitForEvent(HANDLE event, DWORD milliseconds) {
    return with_event(event, "WaitForEvent", kWaitFailed,
                      [milliseconds](EVENT_RECORD* record) { return wait_in(record, milliseconds); });
}

TARVEX_API BOOL CloseEvent(HANDLE event) {
    uint32_t index = handle_index(handle_value(event));
    return with_lock(eventlock, [&]() -> BOOL {
        EVENT_RECORD* record = EventSlot.at(index);
        if (record == nullptr || !record->inUse) {
            UnixLog("CloseEvent: Invalid handle");
            return FALSE;
        }
        if (record->references > 1) {
            --record->references;
            return TRUE;
        }
        BOOL result = destroy_event(record, true, true);
        EventSlot.mark_free(index);
        return result;
    });
}

TARVEX_API EVENT_RECORD* CreateEventIn(EVENT_RECORD* record, BOOL manual_reset,
                                       BOOL initial_state, LPCSTR name, BOOL copy_name,
                                       BOOL explicit_attributes) {
    return create_in(record, manual_reset, initial_state, name, copy_name, explicit_attributes);
}

TARVEX_API BOOL SetEventIn(EVENT_RECORD* record) { return record ? set_in(record) : FALSE; }

TARVEX_API BOOL ResetEventIn(EVENT_RECORD* record) { return reset_in(record); }

TARVEX_API BOOL PulseEventIn(EVENT_RECORD* record) { return record ? pulse_in(record) : FALSE; }

TARVEX_API DWORD WaitForEventIn(EVENT_RECORD* record, DWORD milliseconds) {
    return record ? wait_in(record, milliseconds) : kWaitFailed;
}

TARVEX_API BOOL CloseEventIn(EVENT_RECORD* record) {
    if (record == nullptr || !record->inUse) return FALSE;
    if (--record->references > 0) return TRUE;
    return destroy_event(record, false, false);
}

}  // extern "C"
