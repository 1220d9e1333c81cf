// The one way the library takes a table lock (or any lock that a cancelled thread could leave
// behind).
//
// A thread may be torn down while it holds a lock: TerminateThread ends a thread in the library's
// blocking waits (core/termination.h), and a host may cancel its own threads, even
// asynchronously. A C++ destructor does not run in that case; a handler registered with
// pthread_cleanup_push does (the library is built with -fno-exceptions, where glibc implements
// the push/pop pair with its own unwinding buffer). with_lock therefore pairs every acquisition
// with a clean-up handler, registered so that there is no instruction at which the thread can
// die holding the lock without it, and counts the lock in the thread's termination state, so that
// TerminateThread ends the thread only at the wait points inside or once the lock is given back.
//
// The body is a callable; it returns from the callable, never from the enclosing function, which
// keeps push and pop paired. Whatever cancellation state the body leaves behind is kept.
//
// Table locks (every kind's table, the log, start-up) are TableLock, not pthread mutexes. Their
// word holds the owner's kernel thread id, so the cleanup handler can tell from a single atomic
// word whether the dying thread owns the lock, and the handler can be registered before the lock
// is taken and removed after it is released. That closes the windows around lock and unlock
// without switching the cancellation state twice per acquisition (four atomic updates of the
// thread's cancellation word, which cost more than the lock itself). Taking a free lock is one
// compare-and-swap; releasing it is a sequentially consistent store followed by a look at
// `sleepers`, the count of threads that sleep on the word, so that a thread going to sleep needs
// no process-wide barrier. Locks that a condition variable waits with stay pthread mutexes and
// use the second form, below.
#pragma once

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <type_traits>

#include "core/barrier.h"
#include "core/termination.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace tarvex {

struct TableLock {
    uint32_t word = 0;      // 0: free; otherwise the owner's thread id
    uint32_t sleepers = 0;  // threads that count themselves before sleeping on `word`
};

namespace lock_detail {

inline thread_local uint32_t t_thread_id __attribute__((tls_model("initial-exec"))) = 0;

// The lock this thread is counted in `sleepers` of, so that its clean-up can un-count it.
inline thread_local TableLock* t_counted_on __attribute__((tls_model("initial-exec"))) = nullptr;

// Work that a holder of a table lock has half done and that must be finished, not abandoned, if
// the holder is cancelled before it says it is done: the lock's clean-up runs it before it
// releases the lock. One at a time per thread. `run` is stored last and cleared first, so the
// clean-up never sees it with another action's argument.
struct PendingAction {
    void (*run)(void*);
    void* arg;
};
inline thread_local PendingAction t_pending __attribute__((tls_model("initial-exec"))) = {};

// A forked child's only thread has a new id; forget the cached one.
inline void forget_thread_id() { t_thread_id = 0; }

inline void watch_forks() { pthread_atfork(nullptr, nullptr, forget_thread_id); }

inline uint32_t thread_id() {
    uint32_t id = t_thread_id;
    if (__builtin_expect(id != 0, 1)) return id;
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, watch_forks);
    // Every thread passes here before its first lock, so it agrees on how releases are ordered.
    settle_process_barrier();
    id = static_cast<uint32_t>(syscall(SYS_gettid));
    t_thread_id = id;
    return id;
}

inline void futex_wait(uint32_t* word, uint32_t expected) {
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

inline void futex_wake_one(uint32_t* word) {
    syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Counts or un-counts this thread in `sleepers`, with cancellation deferred and counted as a lock
// (so that TerminateThread does not end it in between), so that the count and t_counted_on always
// agree for the clean-up (see defer_cancellation below).
inline void count_sleeper(TableLock& lock, bool sleeping) {
    int type;
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &type);
    count_lock();
    __atomic_add_fetch(&lock.sleepers, sleeping ? 1u : ~0u, __ATOMIC_SEQ_CST);
    t_counted_on = sleeping ? &lock : nullptr;
    uncount_lock();
    pthread_setcanceltype(type, nullptr);
}

inline bool try_lock(TableLock& lock, uint32_t self) {
    uint32_t expected = 0;
    return __atomic_compare_exchange_n(&lock.word, &expected, self, false, __ATOMIC_ACQUIRE,
                                       __ATOMIC_RELAXED);
}

// The contended half: a short spin first, since tables are held briefly; then sleep, counted.
// Gives up (false) when stop() holds at a wake-up; whoever makes it hold wakes the sleepers.
template <class Stop>
bool lock_contended_until(TableLock& lock, uint32_t self, Stop&& stop) {
    for (int spin = 0; spin < 64; ++spin) {
        cpu_relax();
        if (__atomic_load_n(&lock.word, __ATOMIC_RELAXED) == 0 && try_lock(lock, self)) return true;
    }
    count_sleeper(lock, true);
    bool taken = false;
    for (;;) {
        uint32_t owner = __atomic_load_n(&lock.word, __ATOMIC_SEQ_CST);
        if (owner == 0) {
            if (try_lock(lock, self)) {
                taken = true;
                break;
            }
            continue;
        }
        if (stop()) break;
        // Returns at once if the word no longer holds `owner`. A terminated thread may end here:
        // the clean-ups of what it holds are registered, this lock's among them.
        at_wait_point([&] { futex_wait(&lock.word, owner); });
    }
    count_sleeper(lock, false);
    return taken;
}

__attribute__((noinline)) inline void lock_contended(TableLock& lock, uint32_t self) {
    lock_contended_until(lock, self, [] { return false; });
}

inline void lock(TableLock& lock) {
    uint32_t self = thread_id();
#if defined(__SANITIZE_THREAD__)
    __tsan_mutex_pre_lock(&lock, 0);
#endif
    if (!try_lock(lock, self)) lock_contended(lock, self);
#if defined(__SANITIZE_THREAD__)
    __tsan_mutex_post_lock(&lock, 0, 0);
#endif
}

inline void free_word(TableLock& lock) {
    if (fenced_store_then_load(&lock.word, 0u, &lock.sleepers)) futex_wake_one(&lock.word);
}

inline void unlock(TableLock& lock) {
#if defined(__SANITIZE_THREAD__)
    __tsan_mutex_pre_unlock(&lock, 0);
#endif
    free_word(lock);
#if defined(__SANITIZE_THREAD__)
    __tsan_mutex_post_unlock(&lock, 0);
#endif
}

// Runs when the thread is cancelled anywhere between registering it and removing it: un-counts
// it if it was about to sleep, releases the lock if this thread holds it, and otherwise wakes a
// sleeper in case the thread died between its release and the wake-up (a spare wake-up is
// harmless: sleepers re-check the word).
inline void release_on_cancel(void* arg) {
    TableLock& held = *static_cast<TableLock*>(arg);
    if (t_counted_on == &held) {
        __atomic_sub_fetch(&held.sleepers, 1u, __ATOMIC_SEQ_CST);
        t_counted_on = nullptr;
    }
    if (__atomic_load_n(&held.word, __ATOMIC_RELAXED) == thread_id()) {
        PendingAction pending = t_pending;
        t_pending.run = nullptr;
        if (pending.run != nullptr) pending.run(pending.arg);
        unlock(held);
    } else {
        futex_wake_one(&held.word);
    }
}

}  // namespace lock_detail

// Registers `run(arg)` to be finished by the clean-up of the table lock this thread holds, should
// the thread be cancelled before finish_pending(). Costs two stores, unlike a clean-up handler
// of its own.
inline void set_pending(void (*run)(void*), void* arg) {
    lock_detail::t_pending.arg = arg;
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    lock_detail::t_pending.run = run;
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
}

inline void finish_pending() {
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    lock_detail::t_pending.run = nullptr;
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
}

template <class Body>
auto with_lock(TableLock& lock, Body&& body) -> decltype(body()) {
    using Result = decltype(body());
    if constexpr (std::is_void_v<Result>) {
        count_lock();
        pthread_cleanup_push(lock_detail::release_on_cancel, &lock);
        lock_detail::lock(lock);
        body();
        lock_detail::unlock(lock);
        pthread_cleanup_pop(0);
        uncount_lock();
    } else {
        Result result{};
        count_lock();
        pthread_cleanup_push(lock_detail::release_on_cancel, &lock);
        lock_detail::lock(lock);
        result = body();
        lock_detail::unlock(lock);
        pthread_cleanup_pop(0);
        uncount_lock();
        return result;
    }
}

// A TableLock that an object holds from one call to another (the in-process lock of a mutex
// object) instead of around a body. The word still names the holder, so "does the caller hold
// it" is one load, and a holder that dies leaves it held, as such an object's owner would. The
// object may free the word itself when it ends, whoever holds it; so these calls are not told to
// the race detector as a mutex (which would then see a lock taken twice), and the acquiring
// compare-and-swap and the releasing store order the holders for it instead.
inline bool held_by_caller(const TableLock& lock) {
    return __atomic_load_n(&lock.word, __ATOMIC_RELAXED) == lock_detail::thread_id();
}

inline bool try_hold(TableLock& lock) {
    return lock_detail::try_lock(lock, lock_detail::thread_id());
}

// Blocks until the lock is the caller's (true) or stop() holds (false); whoever makes stop() hold
// calls wake_sleepers. A thread cancelled while it sleeps is un-counted, and gives the lock back
// if it had just taken it, by the lock's own clean-up.
template <class Stop>
bool hold_unless(TableLock& lock, Stop&& stop) {
    if (try_hold(lock)) return true;
    bool taken = false;
    pthread_cleanup_push(lock_detail::release_on_cancel, &lock);
    taken = lock_detail::lock_contended_until(lock, lock_detail::thread_id(), stop);
    pthread_cleanup_pop(0);
    return taken;
}

inline void let_go(TableLock& lock) {
    in_one_piece([&] { lock_detail::free_word(lock); });
}

inline void wake_sleepers(TableLock& lock) {
    syscall(SYS_futex, &lock.word, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}

// Asynchronous cancellation and glibc's own code. A thread cancelled asynchronously inside
// pthread_mutex_lock or _unlock can leave the mutex in a state no clean-up handler can tell (the
// lock word taken, the owner not yet recorded), and disabling cancellation does not keep the
// cancellation out: this glibc acts on a cancellation that was sent just before the thread
// disabled it. What does keep it out is switching the thread to deferred cancellation: the
// signal that carries a cancellation acts only on a thread whose type is still asynchronous
// when it arrives. A deferred cancellation then waits for a cancellation point (a condition wait
// stays one) or for the type to be switched back, which acts on it at once, at a point where
// nothing is held. For a thread that is deferred already, the switch is a load and a compare.
inline int defer_cancellation() {
    int type;
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &type);
    return type;
}

inline void restore_cancellation(int type) { pthread_setcanceltype(type, nullptr); }

// Runs body() where no cancellation can act, not even at a cancellation point inside it.
// Pinned as well, so that TerminateThread lets it run to its end.
template <class Body>
auto without_cancellation(Body&& body) -> decltype(body()) {
    pin();
    int type = defer_cancellation();
    int state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
    if constexpr (std::is_void_v<decltype(body())>) {
        body();
        pthread_setcancelstate(state, nullptr);
        restore_cancellation(type);
        unpin();
    } else {
        auto result = body();
        pthread_setcancelstate(state, nullptr);
        restore_cancellation(type);
        unpin();
        return result;
    }
}

inline void unlock_mutex_cleanup(void* mutex) {
    pthread_mutex_unlock(static_cast<pthread_mutex_t*>(mutex));
}

// A pthread mutex (one that a condition variable waits with) is held only with the thread's
// cancellation deferred, so the only place a cancellation can act while it is held is a condition
// wait in the body, which takes the mutex back before the clean-up handler gives it up.
template <class Body>
auto with_lock(pthread_mutex_t& mutex, Body&& body) -> decltype(body()) {
    using Result = decltype(body());
    count_lock();
    int type = defer_cancellation();
    if constexpr (std::is_void_v<Result>) {
        pthread_mutex_lock(&mutex);
        pthread_cleanup_push(unlock_mutex_cleanup, &mutex);
        body();
        pthread_cleanup_pop(1);
        restore_cancellation(type);
        uncount_lock();
    } else {
        Result result{};
        pthread_mutex_lock(&mutex);
        pthread_cleanup_push(unlock_mutex_cleanup, &mutex);
        result = body();
        pthread_cleanup_pop(1);
        restore_cancellation(type);
        uncount_lock();
        return result;
    }
}

// Runs `on_cancel(arg)` if the thread is cancelled inside `body`; nothing otherwise. For state
// other than a mutex that a cancelled thread must not leave behind (a waiter count, say).
template <class Body>
void with_cancel_cleanup(void (*on_cancel)(void*), void* arg, Body&& body) {
    pthread_cleanup_push(on_cancel, arg);
    body();
    pthread_cleanup_pop(0);
}

}  // namespace tarvex
