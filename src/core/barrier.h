// The kernel's process-wide memory barrier, for locks whose hot path should not pay for a fence.
//
// A lock's release stores "free" and then looks whether anyone sleeps; a sleeper counts itself
// and then looks whether the lock is free. Each side must see the other's store (Dekker's
// pattern), which on its own takes a full fence on both sides, as expensive as a locked
// instruction. Instead the side that is about to sleep asks the kernel for a process-wide barrier
// (membarrier): every thread of the process that is running executes a full fence, and one that
// is not running passed one when it was switched out. After it, every store the hot side made
// before its load is visible, or that load comes after the barrier and sees the sleeper's store.
// The hot side (store_then_load) then only keeps the compiler from reordering its two accesses.
//
// Where the kernel offers no such barrier, both sides use sequentially consistent accesses. Which
// way a program image goes is settled once; every thread that relies on it has called
// settle_process_barrier() itself, or is ordered after one that did.
//
// Should the kernel refuse the barrier after all (a seccomp profile that filters the command),
// the program goes over to fenced releases for good. Hot paths that had already read the old
// mode, and critical sections reserved under it, still need their sleepers' barrier: from then
// on that barrier is made by taking a permission away from a page of this process, which makes
// the kernel interrupt every processor running one of its threads to flush its address
// translations, and an interrupt drains the processor's store buffer just as the barrier would.
#pragma once

#include <errno.h>
#include <linux/membarrier.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>

#include "core/test_hook.h"

namespace tarvex {
namespace barrier_detail {

inline int g_usable = 0;
inline int g_refused = 0;  // the kernel refused the barrier after registration
inline pthread_once_t g_settled = PTHREAD_ONCE_INIT;

inline int membarrier(int command) {
    return static_cast<int>(syscall(SYS_membarrier, command, 0, 0));
}

// Registration is per process and survives fork; a new program image starts unregistered and
// settles again.
inline void settle() {
    int saved = errno;
    int offered = membarrier(MEMBARRIER_CMD_QUERY);
    int usable = offered > 0 && (offered & MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0 &&
                 membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0;
    test_hook("barrier-mode", &usable);  // tests may ask for the fenced way
    __atomic_store_n(&g_usable, usable, __ATOMIC_RELAXED);
    errno = saved;
}

inline pthread_mutex_t g_page_lock = PTHREAD_MUTEX_INITIALIZER;
inline void* g_page = nullptr;  // under g_page_lock
constexpr size_t kPageSize = 4096;

// The stand-in for a refused barrier: lowering the protection of a present, written page makes
// the kernel flush its translation on every processor that may hold it, that is every processor
// running a thread of this process, with an interrupt each. The page lock is held with
// cancellation off, and nothing inside it waits.
inline void flush_by_protection() {
    int saved = errno;
    int state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
    pthread_mutex_lock(&g_page_lock);
    if (g_page == nullptr) {
        void* page = mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                          -1, 0);
        if (page != MAP_FAILED) g_page = page;
    }
    if (g_page != nullptr) {
        mprotect(g_page, kPageSize, PROT_READ | PROT_WRITE);
        __atomic_add_fetch(static_cast<int*>(g_page), 1, __ATOMIC_SEQ_CST);
        mprotect(g_page, kPageSize, PROT_NONE);
    }
    pthread_mutex_unlock(&g_page_lock);
    pthread_setcancelstate(state, nullptr);
    errno = saved;
}

// Goes over to fenced releases; the barrier this call was for is made the other way.
__attribute__((noinline, cold)) inline void fall_back() {
    __atomic_store_n(&g_refused, 1, __ATOMIC_SEQ_CST);
    __atomic_store_n(&g_usable, 0, __ATOMIC_SEQ_CST);
    flush_by_protection();
}

}  // namespace barrier_detail

inline void settle_process_barrier() {
    pthread_once(&barrier_detail::g_settled, barrier_detail::settle);
}

inline bool process_barrier() { return __atomic_load_n(&barrier_detail::g_usable, __ATOMIC_RELAXED); }

// The sleeping side's half.
inline void fence_every_thread() {
    if (process_barrier()) {
        int saved = errno;
        int rc = barrier_detail::membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED);
        test_hook("barrier-result", &rc);  // tests may have it refused
        if (rc != 0) barrier_detail::fall_back();
        errno = saved;
    } else if (__atomic_load_n(&barrier_detail::g_refused, __ATOMIC_SEQ_CST)) {
        barrier_detail::flush_by_protection();
    }
    // Otherwise the program never had the barrier: both sides use sequentially consistent
    // accesses.
}

// The hot side's half: stores `value` into `flag` (a release), then tells whether `watched` is
// non-zero.
template <typename T>
bool store_then_load(T* flag, T value, const T* watched) {
    if (process_barrier()) {
        __atomic_store_n(flag, value, __ATOMIC_RELEASE);
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
        return __atomic_load_n(watched, __ATOMIC_RELAXED) != 0;
    }
    __atomic_store_n(flag, value, __ATOMIC_SEQ_CST);
    return __atomic_load_n(watched, __ATOMIC_SEQ_CST) != 0;
}

// The same with a full fence on the hot side, for locks whose sleepers must not pay for the
// process-wide barrier each time they go to sleep: the store is a locked instruction, as a pthread
// mutex's release is.
template <typename T>
bool fenced_store_then_load(T* flag, T value, const T* watched) {
    __atomic_store_n(flag, value, __ATOMIC_SEQ_CST);
    return __atomic_load_n(watched, __ATOMIC_SEQ_CST) != 0;
}

}  // namespace tarvex
