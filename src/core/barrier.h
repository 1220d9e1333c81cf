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
#pragma once

#include <errno.h>
#include <linux/membarrier.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "core/test_hook.h"

namespace tarvex {
namespace barrier_detail {

inline int g_usable = 0;
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

}  // namespace barrier_detail

inline void settle_process_barrier() {
    pthread_once(&barrier_detail::g_settled, barrier_detail::settle);
}

inline bool process_barrier() { return __atomic_load_n(&barrier_detail::g_usable, __ATOMIC_RELAXED); }

// The sleeping side's half. A registered process cannot be refused the barrier; should the kernel
// refuse it all the same, a pause of a few milliseconds stands in for it: long enough for every
// store buffer to have drained, though not a guarantee.
inline void fence_every_thread() {
    if (!process_barrier()) return;  // both sides use sequentially consistent accesses
    int saved = errno;
    if (barrier_detail::membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0) usleep(10000);
    errno = saved;
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

}  // namespace tarvex
