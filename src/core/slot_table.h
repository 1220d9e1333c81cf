// The slot table every kind keeps its records in.
//
// One array of records, its length and one mutex (statically initialised, so a table exists
// before InitNTSystem and a call that arrives early finds an empty table rather than garbage).
// Besides the records' own in-use fields the table keeps a two-level bitmap of free records, so
// claiming the lowest free record costs a few word scans whatever the table's size: one bit per
// record, and one summary bit per bitmap word that still has a free record.
//
// Every member function except the constructors runs under `lock`, taken through with_lock.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <tarvex/core.h>

#include "core/handle.h"
#include "core/lock.h"

namespace tarvex {

template <class Record>
struct SlotTable {
    Record* records = nullptr;
    uint32_t length = 0;
    uint64_t* free_bits = nullptr;  // bit set: record free
    uint64_t* summary = nullptr;    // bit set: the matching free_bits word has a free record
    bool owns_records = false;
    TableLock lock;

    static constexpr uint32_t words_for(uint32_t bits) { return (bits + 63) / 64; }

    bool in_range(uint32_t index) const { return index < length; }
    Record* at(uint32_t index) const { return index < length ? &records[index] : nullptr; }

    // Allocates `count` zeroed records. On failure the table stays empty (length 0).
    bool allocate(uint32_t count) {
        Record* storage = static_cast<Record*>(calloc(count ? count : 1, sizeof(Record)));
        if (storage == nullptr) return false;
        if (!adopt(storage, count)) {
            free(storage);
            return false;
        }
        owns_records = true;
        return true;
    }

    // Uses caller-provided storage (fixed tables), zeroing it.
    bool adopt(Record* storage, uint32_t count) {
        uint32_t words = words_for(count);
        uint64_t* bits = static_cast<uint64_t*>(calloc(words ? words : 1, sizeof(uint64_t)));
        uint64_t* sum = static_cast<uint64_t*>(calloc(words_for(words) ? words_for(words) : 1,
                                                      sizeof(uint64_t)));
        if (bits == nullptr || sum == nullptr) {
            free(bits);
            free(sum);
            return false;
        }
        memset(static_cast<void*>(storage), 0, sizeof(Record) * count);
        records = storage;
        length = count;
        free_bits = bits;
        summary = sum;
        owns_records = false;
        for (uint32_t i = 0; i < count; ++i) mark_free(i);
        return true;
    }

    // A creator or closer may be cancelled asynchronously between the two stores of mark_free or
    // mark_used. Both leave at worst a summary bit set over a bitmap word with no free record,
    // which lowest_free clears when it meets it; never a free record the summary hides.
    void mark_free(uint32_t index) {
        summary[index / 4096] |= uint64_t{1} << ((index / 64) % 64);
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
        free_bits[index / 64] |= uint64_t{1} << (index % 64);
    }

    void mark_used(uint32_t index) {
        uint64_t& word = free_bits[index / 64];
        word &= ~(uint64_t{1} << (index % 64));
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
        if (word == 0) summary[index / 4096] &= ~(uint64_t{1} << ((index / 64) % 64));
    }

    bool is_free(uint32_t index) const {
        return (free_bits[index / 64] >> (index % 64)) & 1;
    }

    // Lowest free record index, or -1 when the table is full (or does not exist). Does not claim.
    int64_t lowest_free() {
        uint32_t sum_words = words_for(words_for(length));
        for (uint32_t s = 0; s < sum_words && summary != nullptr; ++s) {
            while (summary[s] != 0) {
                uint32_t bit = static_cast<uint32_t>(__builtin_ctzll(summary[s]));
                uint32_t word = s * 64 + bit;
                if (free_bits[word] == 0) {  // left behind by a cancelled update
                    summary[s] &= ~(uint64_t{1} << bit);
                    continue;
                }
                uint32_t index = word * 64 + static_cast<uint32_t>(__builtin_ctzll(free_bits[word]));
                return index < length ? static_cast<int64_t>(index) : -1;
            }
        }
        return -1;
    }

    // Index of the first record (in index order) that `matches`, or -1.
    template <class Predicate>
    int64_t find(Predicate&& matches) const {
        for (uint32_t i = 0; i < length; ++i)
            if (matches(records[i])) return i;
        return -1;
    }

    // Claims the lowest free record (marks it used in the bitmap); -1 when full.
    int64_t claim_lowest() {
        int64_t index = lowest_free();
        if (index >= 0) mark_used(static_cast<uint32_t>(index));
        return index;
    }

    // The storage of a table that has been emptied but may still be read by threads that looked
    // it up before; freed once they are known to be gone.
    struct Detached {
        Record* records;
        uint32_t length;
        bool owns_records;
        uint64_t* free_bits;
        uint64_t* summary;
        void free_storage() {
            if (owns_records) free(records);
            free(free_bits);
            free(summary);
        }
    };

    // Empties the table for new lookups (length first, then the array, both sequentially
    // consistent for lock-free readers) and hands the storage to the caller.
    Detached detach() {
        Detached d{records, length, owns_records, free_bits, summary};
        __atomic_store_n(&length, 0u, __ATOMIC_SEQ_CST);
        __atomic_store_n(&records, static_cast<Record*>(nullptr), __ATOMIC_SEQ_CST);
        free_bits = nullptr;
        summary = nullptr;
        owns_records = false;
        return d;
    }
};

}  // namespace tarvex
