// Thread-local storage: 64 TLS indexes (TlsSlot, guarded by keylock).
//
// keylock covers allocating and freeing an index. Values take no lock and no call into the thread
// library: a host reads its TLS values on every request, and a read through a POSIX key costs a
// second library call on top of the host's own. Each thread keeps its values in an array of its
// own, one entry per index, and each entry remembers which allocation of the index it was stored
// under. An allocation is named by the record's `live` word (0 while the index is free, otherwise
// the allocation count, never 0), so freeing an index empties it for every thread at once without
// visiting them, and a value stored under an earlier allocation reads as 0. A thread's values go
// when it ends, with its thread-local storage; an index that is free reaches nothing at all, and
// no pthread key of anyone else (the thread records, the host's own) can be touched.
#include <tarvex/core.h>
#include <tarvex/proc.h>

#include "core/last_error.h"
#include "core/lock.h"
#include "core/slot_table.h"
#include "proc/tls.h"

namespace tarvex {
namespace {

struct TlsRecord {
    DWORD inUse;
    uint32_t live;  // what value reads and writes go by; see the top of this unit
};

TlsRecord g_records[kTlsIndexCount];
constinit SlotTable<TlsRecord> TlsSlot;
TableLock& keylock = TlsSlot.lock;
uint32_t g_allocations = 0;  // under keylock; the next allocation's word is one more, skipping 0

static_assert(sizeof(LastError::tls) / sizeof(LastError::tls[0]) == kTlsIndexCount);

// Under keylock. The table exists from the first call on, whether start-up ran or not.
bool ensure_table() {
    return TlsSlot.records != nullptr || TlsSlot.adopt(g_records, kTlsIndexCount);
}

bool matches(uint32_t live, uint32_t stamp) { return live != 0 && (stamp == 0 || live == stamp); }

uint32_t live_word(uint32_t index) {
    return __atomic_load_n(&g_records[index].live, __ATOMIC_ACQUIRE);
}

// Under keylock.
void clear_record(uint32_t index) {
    __atomic_store_n(&g_records[index].live, 0u, __ATOMIC_RELEASE);
    g_records[index].inUse = 0;
    TlsSlot.mark_free(index);
}

}  // namespace

uint32_t tls_allocate(uint32_t& stamp) {
    return without_cancellation([&] {
        return with_lock(keylock, [&]() -> uint32_t {
            int64_t index = ensure_table() ? TlsSlot.claim_lowest() : -1;
            if (index < 0) {
                UnixLog("TlsAlloc: Out of slots");
                return kTlsNoIndex;
            }
            if (++g_allocations == 0) ++g_allocations;
            stamp = g_allocations;
            g_records[index].inUse = 1;
            __atomic_store_n(&g_records[index].live, stamp, __ATOMIC_RELEASE);
            return static_cast<uint32_t>(index);
        });
    });
}

TlsOutcome tls_free(uint32_t index, uint32_t stamp) {
    if (index >= kTlsIndexCount) return TlsOutcome::kNotAllocated;
    return without_cancellation([&] {
        return with_lock(keylock, [&]() -> TlsOutcome {
            if (TlsSlot.records == nullptr || !g_records[index].inUse ||
                !matches(g_records[index].live, stamp))
                return TlsOutcome::kNotAllocated;
            clear_record(index);
            return TlsOutcome::kDone;
        });
    });
}

TlsOutcome tls_read(uint32_t index, uint32_t stamp, void*& value) {
    if (__builtin_expect(index >= kTlsIndexCount, 0)) return TlsOutcome::kNotAllocated;
    uint32_t live = live_word(index);
    if (__builtin_expect(!matches(live, stamp), 0)) return TlsOutcome::kNotAllocated;
    const LastError::TlsEntry& entry = t_last_error.tls[index];
    value = entry.stored_under == live ? entry.value : nullptr;
    return TlsOutcome::kDone;
}

// A write racing a free of the index is ordered before it: the value is stored under the
// allocation that is ending and reads as 0 under any later one.
TlsOutcome tls_write(uint32_t index, uint32_t stamp, void* value) {
    if (index >= kTlsIndexCount) return TlsOutcome::kNotAllocated;
    uint32_t live = live_word(index);
    if (!matches(live, stamp)) return TlsOutcome::kNotAllocated;
    // Cancellation between the two stores leaves an entry of a thread that is ending.
    t_last_error.tls[index].value = value;
    t_last_error.tls[index].stored_under = live;
    return TlsOutcome::kDone;
}

}  // namespace tarvex

using namespace tarvex;

extern "C" {

// Prepares the table. Indexes allocated before start-up (a WSAStartup that came first) are kept:
// wiping them would let TlsAlloc hand the same index to a second owner.
TARVEX_API int InitTLSSlots(void) {
    return without_cancellation([] { return with_lock(keylock, [] { return ensure_table() ? 0 : 1; }); });
}

TARVEX_API void FreeAllTLSSlots(void) {
    without_cancellation([] {
        with_lock(keylock, [] {
            if (TlsSlot.records == nullptr) return;
            for (uint32_t index = 0; index < kTlsIndexCount; ++index)
                if (g_records[index].inUse) clear_record(index);
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
// Laid out so that the common case, an allocated index, runs straight through.
TARVEX_API LPVOID TlsGetValue(DWORD index) {
    void* value = nullptr;
    if (__builtin_expect(tls_read(index, 0, value) == TlsOutcome::kDone, 1))
        return return_with_last_error(value, ERROR_SUCCESS);
    return return_with_last_error(static_cast<void*>(nullptr), ERROR_INVALID_HANDLE);
}

TARVEX_API BOOL TlsSetValue(DWORD index, LPVOID value) {
    bool done = tls_write(index, 0, value) == TlsOutcome::kDone;
    SetLastError(done ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
    return done ? TRUE : FALSE;
}

}  // extern "C"
