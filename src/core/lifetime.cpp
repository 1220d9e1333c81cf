// The registry of use slots behind core/lifetime.h.
//
// Every thread that uses a record claims one block of slots, the first free one, and keeps it
// until it exits (a thread-specific key's destructor gives it back). Blocks live in chunks that
// are never freed, so a scan may read any block at any time; the first chunk is static, later
// ones are allocated as the number of threads grows. A scan looks only at the blocks that were
// ever claimed, which for most processes is a few.
//
// A forked child has one thread; the blocks of the others are emptied there, or a close in the
// child would wait for uses that will never end.
#include "core/lifetime.h"
#include "core/lock.h"

#include <sched.h>
#include <stdlib.h>
#include <time.h>

namespace tarvex {
namespace {

constexpr uint32_t kBlocksPerChunk = 64;

struct UseChunk {
    UseBlock blocks[kBlocksPerChunk];
    UseChunk* next;
};

constinit UseChunk g_first_chunk{};
// Blocks ever claimed, counted from the first: no block past them has ever held a use.
constinit uint32_t g_blocks_seen = 0;

pthread_once_t g_once = PTHREAD_ONCE_INIT;
pthread_key_t g_exit_key;
bool g_have_exit_key = false;

template <class Visit>
void for_each_block(uint32_t count, Visit&& visit) {
    UseChunk* chunk = &g_first_chunk;
    for (uint32_t i = 0; i < count && chunk != nullptr; ++i) {
        if (i != 0 && i % kBlocksPerChunk == 0) chunk = load(chunk->next);
        if (chunk != nullptr) visit(chunk->blocks[i % kBlocksPerChunk]);
    }
}

void empty_block(UseBlock& block) {
    for (UseSlot& slot : block.slots)
        __atomic_store_n(&slot.record, static_cast<void*>(nullptr), __ATOMIC_RELEASE);
}

void give_back_block(void* arg) {
    auto* block = static_cast<UseBlock*>(arg);
    empty_block(*block);
    __atomic_store_n(&block->owner, 0u, __ATOMIC_RELEASE);
    t_use_block = nullptr;
}

void forget_other_threads() {
    for_each_block(load(g_blocks_seen), [](UseBlock& block) {
        if (&block == t_use_block) return;
        empty_block(block);
        __atomic_store_n(&block.owner, 0u, __ATOMIC_RELAXED);
    });
}

void set_up_once() {
    g_have_exit_key = pthread_key_create(&g_exit_key, give_back_block) == 0;
    pthread_atfork(nullptr, nullptr, forget_other_threads);
}

UseBlock* claim_free_block() {
    UseChunk* chunk = &g_first_chunk;
    for (uint32_t i = 0;; ++i) {
        if (i != 0 && i % kBlocksPerChunk == 0) {
            UseChunk* next = load(chunk->next);
            if (next == nullptr) {
                auto* fresh = static_cast<UseChunk*>(calloc(1, sizeof(UseChunk)));
                if (fresh == nullptr) return nullptr;
                UseChunk* expected = nullptr;
                if (__atomic_compare_exchange_n(&chunk->next, &expected, fresh, false,
                                                __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
                    next = fresh;
                } else {
                    free(fresh);
                    next = expected;
                }
            }
            chunk = next;
        }
        UseBlock& block = chunk->blocks[i % kBlocksPerChunk];
        uint32_t expected = 0;
        if (load(block.owner) != 0 ||
            !__atomic_compare_exchange_n(&block.owner, &expected, 1u, false, __ATOMIC_SEQ_CST,
                                         __ATOMIC_RELAXED))
            continue;
        uint32_t seen = load(g_blocks_seen);
        while (seen < i + 1 &&
               !__atomic_compare_exchange_n(&g_blocks_seen, &seen, i + 1, false,
                                            __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
        }
        return &block;
    }
}

}  // namespace

// Once per thread. Cancellation is held off so that the block and the destructor that gives it
// back are registered together.
UseBlock* claim_use_block() {
    return without_cancellation([] {
        pthread_once(&g_once, set_up_once);
        UseBlock* block = claim_free_block();
        if (block != nullptr) {
            if (g_have_exit_key) pthread_setspecific(g_exit_key, block);
            t_use_block = block;
        }
        return block;
    });
}

bool used_in(const void* begin, const void* end) {
    bool used = false;
    UseBlock* own = t_use_block;
    for_each_block(load(g_blocks_seen), [&](UseBlock& block) {
        if (&block == own) return;
        for (UseSlot& slot : block.slots) {
            auto* record = static_cast<const char*>(load(slot.record));
            if (record >= static_cast<const char*>(begin) && record < static_cast<const char*>(end))
                used = true;
        }
    });
    return used;
}

void pause_for_round(int round) {
    if (round < 100) {
        sched_yield();
        return;
    }
    struct timespec pause = {0, 200000};
    nanosleep(&pause, nullptr);
}

}  // namespace tarvex
