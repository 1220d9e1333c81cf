// Thread-local storage: 64 TLS indexes (TlsSlot, guarded by keylock), each standing for one POSIX
// thread-specific key while it is allocated. The socket layer (core/sysinfo.cpp) keeps its error
// code in one of them through proc/tls.h.
//
// keylock covers allocation, freeing and storing a value. Reading a value takes no lock, since
// hosts read far more often than they allocate: each record also keeps `live`, one word that is 0
// while the index is free and otherwise names the key and the allocation (a generation count in
// the upper half, key + 1 in the lower). A reader takes the key from that word and checks the word
// again after reading, so a value is returned only if the index stayed allocated all along; an
// index that is free never reaches a key, which the thread library may by then have handed to
// another user (the last-error machinery, the thread records, or the host itself).
#include <tarvex/core.h>
#include <tarvex/proc.h>

#include <limits.h>
#include <pthread.h>

#include "core/lock.h"
#include "core/slot_table.h"
#include "proc/tls.h"

namespace tarvex {
namespace {

struct TlsRecord {
    pthread_key_t key;  // 0 while free
    DWORD inUse;
    uint32_t live;        // what lock-free readers go by; see the top of this unit
    uint32_t generation;  // allocations so far, so that a reused key gives a new word
};

static_assert(PTHREAD_KEYS_MAX < 0xFFFF, "key + 1 must fit the lower half of the live word");

TlsRecord g_records[kTlsIndexCount];
constinit SlotTable<TlsRecord> TlsSlot;
TableLock& keylock = TlsSlot.lock;

// Under keylock. The table exists from the first call on, whether start-up ran or not.
bool ensure_table() {
    return TlsSlot.records != nullptr || TlsSlot.adopt(g_records, kTlsIndexCount);
}

bool matches(uint32_t live, uint32_t stamp) { return live != 0 && (stamp == 0 || live == stamp); }

// Under keylock: forgets the key of an allocated record, readers first.
void clear_record(uint32_t index) {
    TlsRecord& record = g_records[index];
    __atomic_store_n(&record.live, 0u, __ATOMIC_SEQ_CST);
    record.key = 0;
    record.inUse = 0;
    TlsSlot.mark_free(index);
}

}  // namespace

uint32_t tls_allocate(uint32_t& stamp) {
    // Without cancellation: a thread cancelled between creating the key and recording it would
    // leak one of the process's few keys.
    return without_cancellation([&] {
        return with_lock(keylock, [&]() -> uint32_t {
            int64_t index = ensure_table() ? TlsSlot.lowest_free() : -1;
            if (index < 0) {
                UnixLog("TlsAlloc: Out of slots");
                return kTlsNoIndex;
            }
            TlsRecord& record = g_records[index];
            pthread_key_t key;
            int rc = pthread_key_create(&key, nullptr);
            if (rc != 0) {
                record.key = 0;
                UnixLog("TlsAlloc: pthread_key_create failed (%d)", rc);
                return kTlsNoIndex;
            }
            TlsSlot.mark_used(static_cast<uint32_t>(index));
            record.key = key;
            record.inUse = 1;
            record.generation++;
            stamp = ((record.generation & 0xFFFFu) << 16) | (static_cast<uint32_t>(key) + 1);
            __atomic_store_n(&record.live, stamp, __ATOMIC_RELEASE);
            return static_cast<uint32_t>(index);
        });
    });
}

TlsOutcome tls_free(uint32_t index, uint32_t stamp) {
    if (index >= kTlsIndexCount) return TlsOutcome::kNotAllocated;
    return without_cancellation([&] {
        return with_lock(keylock, [&]() -> TlsOutcome {
            TlsRecord& record = g_records[index];
            uint32_t live = record.live;
            if (TlsSlot.records == nullptr || !record.inUse || !matches(live, stamp))
                return TlsOutcome::kNotAllocated;
            // Readers are turned away before the key can go back to the thread library.
            __atomic_store_n(&record.live, 0u, __ATOMIC_SEQ_CST);
            int rc = pthread_key_delete(record.key);
            if (rc != 0) {
                __atomic_store_n(&record.live, live, __ATOMIC_RELEASE);
                UnixLog("TlsFree: pthread_key_delete failed (%d)", rc);
                return TlsOutcome::kRefused;
            }
            clear_record(index);
            return TlsOutcome::kDone;
        });
    });
}

TlsOutcome tls_read(uint32_t index, uint32_t stamp, void*& value) {
    if (index >= kTlsIndexCount) return TlsOutcome::kNotAllocated;
    const uint32_t& word = g_records[index].live;
    uint32_t live = __atomic_load_n(&word, __ATOMIC_ACQUIRE);
    if (!matches(live, stamp)) return TlsOutcome::kNotAllocated;
    void* read = pthread_getspecific(static_cast<pthread_key_t>((live & 0xFFFFu) - 1));
    // A free (and a reuse of the key) that overlapped the read changes the word: the value read
    // may then not be this index's, and the index is reported free, as it is by now.
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    if (__atomic_load_n(&word, __ATOMIC_RELAXED) != live) return TlsOutcome::kNotAllocated;
    value = read;
    return TlsOutcome::kDone;
}

// Under keylock: a write must not land on a key that a concurrent free gives away, since it would
// then change another user's value for this thread.
TlsOutcome tls_write(uint32_t index, uint32_t stamp, void* value) {
    if (index >= kTlsIndexCount) return TlsOutcome::kNotAllocated;
    return with_lock(keylock, [&]() -> TlsOutcome {
        TlsRecord& record = g_records[index];
        if (!record.inUse || !matches(record.live, stamp)) return TlsOutcome::kNotAllocated;
        int rc = pthread_setspecific(record.key, value);
        if (rc == 0) return TlsOutcome::kDone;
        UnixLog("TlsSetValue: pthread_setspecific failed (%d)", rc);
        return TlsOutcome::kRefused;
    });
}

}  // namespace tarvex

using namespace tarvex;

extern "C" {

// Prepares the table. Indexes allocated before start-up (a WSAStartup that came first) are kept:
// wiping them would leak their keys and let TlsAlloc hand the same index to a second owner.
TARVEX_API int InitTLSSlots(void) {
    return without_cancellation([] { return with_lock(keylock, [] { return ensure_table() ? 0 : 1; }); });
}

TARVEX_API void FreeAllTLSSlots(void) {
    without_cancellation([] {
        with_lock(keylock, [] {
            if (TlsSlot.records == nullptr) return;
            for (uint32_t index = 0; index < kTlsIndexCount; ++index) {
                if (!g_records[index].inUse) continue;
                pthread_key_t key = g_records[index].key;
                __atomic_store_n(&g_records[index].live, 0u, __ATOMIC_SEQ_CST);
                if (pthread_key_delete(key) != 0) UnixLog("Assert failed in %s line %d", "tls", __LINE__);
                clear_record(index);
            }
        });
    });
}

TARVEX_API DWORD TlsAlloc(void) {
    uint32_t stamp = 0;
    uint32_t index = tls_allocate(stamp);
    SetLastError(index == kTlsNoIndex ? ERROR_INVALID_HANDLE : ERROR_SUCCESS);
    return index;
}

TARVEX_API BOOL TlsFree(DWORD index) {
    bool done = tls_free(index, 0) == TlsOutcome::kDone;
    SetLastError(done ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
    return done ? TRUE : FALSE;
}

// A free index in range answers like one out of range (0, last error 6): it has no value.
TARVEX_API LPVOID TlsGetValue(DWORD index) {
    void* value = nullptr;
    bool done = tls_read(index, 0, value) == TlsOutcome::kDone;
    SetLastError(done ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
    return value;
}

TARVEX_API BOOL TlsSetValue(DWORD index, LPVOID value) {
    switch (tls_write(index, 0, value)) {
        case TlsOutcome::kDone: SetLastError(ERROR_SUCCESS); return TRUE;
        case TlsOutcome::kNotAllocated: SetLastError(ERROR_INVALID_HANDLE); return FALSE;
        case TlsOutcome::kRefused: break;
    }
    return FALSE;
}

}  // extern "C"
