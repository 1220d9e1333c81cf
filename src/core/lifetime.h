// The object lifetime every kind shares: using a record through a handle, and the last close.
//
// A record is live while its `inUse` is 1 and its `references` (open handles) is above 0. The
// last close brings `references` to 0 with one atomic instruction; from then on no new use can
// start, and the close waits for the uses already under way before the kind destroys anything.
//
// Who is using a record is not a count in the record. Each thread owns a few use slots in a
// process-wide registry (core/lifetime.cpp) and names the record it works on in one of them
// for the length of the operation. Raising a shared count is one instruction and registering the
// clean-up that lowers it is another, and a thread cancelled asynchronously between the two
// leaves the count raised for ever; a slot has no such window: the registry empties a thread's
// slots when the thread exits, however it ends, and a store either filled the slot or did not.
// The closer scans the registry instead of reading a count, which costs a handful of loads for
// the threads a process usually has.
//
// The ordering that keeps a use and the last close apart is a store-then-load on both sides,
// each sequentially consistent: a user fills its slot, then reads `references`; the closer
// lowers `references`, then scans the slots. One of them sees the other's store, so either the
// use backs off or the closer waits for it.
//
// The kinds supply two functions to the last close: `Wake`, which lets the threads blocked in
// the record go (it is called again until they have left, so it must tolerate repeats), and
// `Destroy`, which releases what the record holds and frees it. A closer cancelled part-way
// finishes the close from the table lock's clean-up, so `Destroy` may run twice when a
// cancellation lands inside it: it must tolerate that too (clearing fields does; freeing memory
// must run with cancellation off), and it frees the record's bit in the table's bitmap before
// it clears `inUse`, so that a second run still finds the record in use.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <type_traits>

#include "core/atomic.h"
#include "core/handle.h"
#include "core/lock.h"
#include "core/slot_table.h"

namespace tarvex {

// The slots of one thread: records it is working on now (null: free). More than one because an
// operation may be interrupted by a signal handler that starts another.
constexpr int kUsesPerThread = 4;

struct UseSlot {
    void* record;
};

struct UseBlock {
    UseSlot slots[kUsesPerThread];
    uint32_t owner;  // 0: free
};

// The calling thread's block, once it has one (core/lifetime.cpp).
inline thread_local UseBlock* t_use_block __attribute__((tls_model("initial-exec"))) = nullptr;

// Claims a block for the calling thread; null when no memory can be had.
UseBlock* claim_use_block();

// A free slot of the calling thread, or null when none can be had (no memory for the thread's
// block, or every slot taken). Filling it is the caller's.
inline UseSlot* free_use_slot() {
    UseBlock* block = t_use_block;
    if (__builtin_expect(block == nullptr, 0) && (block = claim_use_block()) == nullptr)
        return nullptr;
    for (UseSlot& slot : block->slots)
        if (__atomic_load_n(&slot.record, __ATOMIC_RELAXED) == nullptr) return &slot;
    return nullptr;
}

// True while some other thread's slot names an address in [begin, end).
bool used_in(const void* begin, const void* end);

// Yields the processor for the first rounds of a wait, then sleeps a little each round.
void pause_for_round(int round);

// Waits, calling wake() between looks, until no thread uses an address in [begin, end).
template <class Wake>
void wait_for_users(const void* begin, const void* end, Wake&& wake) {
    for (int round = 0; used_in(begin, end); ++round) {
        wake();
        pause_for_round(round);
    }
}

template <class Record>
bool is_live(const Record& record) {
    return load(record.inUse) == 1 && load(record.references) > 0;
}

// What an attempt to use a handle or record came to.
enum class Use { kDone, kNotLive, kNoSlot };

// Runs body(record) while the calling thread is registered as a user of `record`, if the record
// is live. `stable`, called after registering, tells whether the storage the record lives in is
// still the table's (a table being released is emptied before its storage goes).
//
// No clean-up handler is registered: a thread cancelled inside body keeps its slot filled while it
// runs its clean-up handlers and empties it as it exits (the registry's thread-exit destructor).
// A close on the dying thread itself, from one of those handlers, does not wait for its own
// slots. This keeps the common path free of the cost of registering a handler.
template <class Record, class Stable, class Body>
Use use_record(Record* record, Stable&& stable, Body&& body) {
    UseSlot* slot = free_use_slot();
    if (slot == nullptr) return Use::kNoSlot;
    store(slot->record, static_cast<void*>(record));
    Use outcome = Use::kNotLive;
    if (stable() && is_live(*record)) {
        body(record);
        outcome = Use::kDone;
    }
    __atomic_store_n(&slot->record, static_cast<void*>(nullptr), __ATOMIC_RELEASE);
    return outcome;
}

template <class Record, class Body>
Use use_record(Record* record, Body&& body) {
    if (record == nullptr) return Use::kNotLive;
    return use_record(record, [] { return true; }, body);
}

// Runs body(record) on the record that `handle` names in `table`, if it is live. The table's
// array is read without its lock: a table being released is emptied first (SlotTable::detach)
// and its storage kept until no user is left in it.
template <class Record, class Body>
Use use_handle(SlotTable<Record>& table, HANDLE handle, Body&& body) {
    uint32_t value = handle_value(handle);
    if (value == kInvalidHandleValue) return Use::kNotLive;
    uint32_t index = handle_index(value);
    Record* records = load(table.records);
    if (records == nullptr || index >= load(table.length)) return Use::kNotLive;
    return use_record(&records[index], [&] { return load(table.records) == records; }, body);
}

// True if `handle` names a live record of `table` (a look, not a use).
template <class Record>
bool names_live(SlotTable<Record>& table, HANDLE handle) {
    uint32_t index = handle_index(handle_value(handle));
    Record* records = load(table.records);
    return records != nullptr && index < load(table.length) && is_live(records[index]);
}

// What a close of one reference came to.
enum class Closed { kNotLive, kStillOpen, kLast };

// The last close's second half, once `references` is 0: wake, wait for the users, destroy. A
// second run (the clean-up of a closer cancelled inside the first) finds the record no longer in
// use, or finishes the destroy.
template <class Record, void (*Wake)(Record*), void (*Destroy)(Record*)>
void finish_close(void* arg) {
    auto* record = static_cast<Record*>(arg);
    if (load(record->inUse) != 1 || load(record->references) != 0) return;
    wait_for_users(record, record + 1, [record] { Wake(record); });
    Destroy(record);
}

// Drops one reference to `record`. The last one wakes the record's waiters, waits for every user
// to leave and destroys the record, all before returning. Runs under the table lock, which
// serialises closes and creates of the table's records (uses need no lock); a closer cancelled
// after the one instruction that commits the last close has the lock's clean-up finish it. For a
// record outside any table the caller holds cancellation off instead.
template <class Record, void (*Wake)(Record*), void (*Destroy)(Record*)>
Closed close_reference(Record* record) {
    if (record == nullptr || !is_live(*record)) return Closed::kNotLive;
    set_pending(finish_close<Record, Wake, Destroy>, record);
    bool last = __atomic_sub_fetch(&record->references, 1, __ATOMIC_SEQ_CST) == 0;
    if (last) finish_close<Record, Wake, Destroy>(record);
    finish_pending();
    return last ? Closed::kLast : Closed::kStillOpen;
}

// Ends a record whatever its references, for the release of a whole table: no new use can start,
// the waiters are woken and the users waited for, then the record is destroyed. Run with
// cancellation disabled.
template <class Record, void (*Wake)(Record*), void (*Destroy)(Record*)>
void end_record(Record* record) {
    if (load(record->inUse) != 1) return;
    store(record->references, decltype(record->references){0});
    finish_close<Record, Wake, Destroy>(record);
}

// Creates a kind's table of `count` records once; a table that exists stays as it is. 0, or -1
// when there is no memory for it.
template <class Record>
int open_table(SlotTable<Record>& table, uint32_t count) {
    return with_lock(table.lock, [&] {
        if (table.records != nullptr) return 0;
        return table.allocate(count) ? 0 : -1;
    });
}

// Releases a kind's whole table, safe to repeat: new uses find no table from the first step on,
// every record is ended (its waiters woken, its users waited for, then destroyed), then
// after_each(record) runs on every record, and the storage goes once no user is left in it.
template <class Record, void (*Wake)(Record*), void (*Destroy)(Record*), class AfterEach>
void release_table(SlotTable<Record>& table, AfterEach&& after_each) {
    without_cancellation([&] {
        with_lock(table.lock, [&] {
            if (table.records == nullptr) return;
            auto detached = table.detach();
            Record* records = detached.records;
            for (uint32_t i = 0; i < detached.length; ++i) end_record<Record, Wake, Destroy>(&records[i]);
            for (uint32_t i = 0; i < detached.length; ++i) after_each(&records[i]);
            wait_for_users(records, records + detached.length, [] {});
            detached.free_storage();
        });
    });
}

template <class Record, void (*Wake)(Record*), void (*Destroy)(Record*)>
void release_table(SlotTable<Record>& table) {
    release_table<Record, Wake, Destroy>(table, [](Record*) {});
}

// One more reference to a live record, for a create or open that names it.
template <class Record>
void add_reference(Record& record) {
    __atomic_add_fetch(&record.references, 1, __ATOMIC_SEQ_CST);
}

// Fills the lowest free record of `table` with fill(record), which makes it live and returns
// true, or returns false and leaves it free. Returns the index, or -1 when the table is full or
// fill failed (`full` tells which). Runs under the table lock.
//
// The bitmap learns of the record only after fill has made it live. A creator cancelled inside
// fill leaves either a free record, filled or not, which the next create fills again, or a live
// one whose handle was lost, which the next create finds still free in the bitmap and passes by.
template <class Record, class Fill>
int64_t claim_record(SlotTable<Record>& table, bool& full, Fill&& fill) {
    int64_t index;
    while ((index = table.lowest_free()) >= 0 && load(table.records[index].inUse) == 1)
        table.mark_used(static_cast<uint32_t>(index));
    full = index < 0;
    if (full || !fill(&table.records[index])) return -1;
    table.mark_used(static_cast<uint32_t>(index));
    return index;
}

// Index of the first live record that `matches`, or -1. Under the table lock.
template <class Record, class Predicate>
int64_t find_live(SlotTable<Record>& table, Predicate&& matches) {
    return table.find([&](const Record& record) { return is_live(record) && matches(record); });
}

}  // namespace tarvex
