// The one way the library takes a table lock (or any lock that a cancelled thread could leave
// behind).
//
// Threads started by the library run with asynchronous cancellation, so a thread may be torn
// down at any instruction. A C++ destructor does not run in that case; a handler registered with
// pthread_cleanup_push does (the library is built with -fno-exceptions, where glibc implements
// the push/pop pair with its own unwinding buffer). with_lock therefore acquires the mutex with
// cancellation briefly disabled, registers the unlock as a cleanup handler, runs the body, and
// pops the handler with cancellation disabled again, so there is no instruction at which the
// thread can die holding the lock without the handler being registered.
//
// The body is a callable; it returns from the callable, never from the enclosing function, which
// keeps push and pop paired. Whatever cancellation state the body leaves behind is kept (a
// critical section disables cancellation while it is owned).
//
// Table locks (every kind's table, the log, start-up) are TableLock, not pthread mutexes. Their
// one word holds the owner's kernel thread id, so the cleanup handler can tell from a single
// atomic word whether the dying thread owns the lock, and the handler can be registered before
// the lock is taken and removed after it is released. That closes the windows around lock and
// unlock without switching the cancellation state twice per acquisition (four atomic updates of
// the thread's cancellation word, which cost more than the lock itself). Locks that a condition
// variable waits with stay pthread mutexes and use the first form.
#pragma once

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <type_traits>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace tarvex {

struct TableLock {
    uint32_t word = 0;  // 0: free; otherwise the owner's thread id, plus kWaitersBit
};

namespace lock_detail {

constexpr uint32_t kWaitersBit = 0x80000000u;  // thread ids stay far below 2^31

inline thread_local uint32_t t_thread_id __attribute__((tls_model("initial-exec"))) = 0;

// A forked child's only thread has a new id; forget the cached one.
inline void forget_thread_id() { t_thread_id = 0; }

inline void watch_forks() { pthread_atfork(nullptr, nullptr, forget_thread_id); }

inline uint32_t thread_id() {
    uint32_t id = t_thread_id;
    if (__builtin_expect(id != 0, 1)) return id;
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, watch_forks);
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

inline void lock(TableLock& lock) {
    uint32_t self = thread_id();
#if defined(__SANITIZE_THREAD__)
    __tsan_mutex_pre_lock(&lock, 0);
#endif
    uint32_t expected = 0;
    if (!__atomic_compare_exchange_n(&lock.word, &expected, self, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED)) {
        for (;;) {
            uint32_t value = __atomic_load_n(&lock.word, __ATOMIC_RELAXED);
            if (value == 0) {
                // Taken with the waiters bit: others may still sleep on the word.
                if (__atomic_compare_exchange_n(&lock.word, &value, self | kWaitersBit, false,
                                                __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
                    break;
                continue;
            }
            if (!(value & kWaitersBit) &&
                !__atomic_compare_exchange_n(&lock.word, &value, value | kWaitersBit, false,
                                             __ATOMIC_RELAXED, __ATOMIC_RELAXED))
                continue;
            futex_wait(&lock.word, value | kWaitersBit);
        }
    }
#if defined(__SANITIZE_THREAD__)
    __tsan_mutex_post_lock(&lock, 0, 0);
#endif
}

inline void unlock(TableLock& lock) {
#if defined(__SANITIZE_THREAD__)
    __tsan_mutex_pre_unlock(&lock, 0);
#endif
    uint32_t previous = __atomic_exchange_n(&lock.word, 0u, __ATOMIC_RELEASE);
    if (previous & kWaitersBit) futex_wake_one(&lock.word);
#if defined(__SANITIZE_THREAD__)
    __tsan_mutex_post_unlock(&lock, 0);
#endif
}

// Runs when the thread is cancelled anywhere between registering it and removing it: releases
// the lock if this thread holds it, and wakes a sleeper in case the thread died between its
// release and the wake-up (a spare wake-up is harmless: sleepers re-check the word).
inline void release_on_cancel(void* arg) {
    TableLock& held = *static_cast<TableLock*>(arg);
    uint32_t value = __atomic_load_n(&held.word, __ATOMIC_RELAXED);
    if ((value & ~kWaitersBit) == thread_id())
        unlock(held);
    else
        futex_wake_one(&held.word);
}

}  // namespace lock_detail

template <class Body>
auto with_lock(TableLock& lock, Body&& body) -> decltype(body()) {
    using Result = decltype(body());
    if constexpr (std::is_void_v<Result>) {
        pthread_cleanup_push(lock_detail::release_on_cancel, &lock);
        lock_detail::lock(lock);
        body();
        lock_detail::unlock(lock);
        pthread_cleanup_pop(0);
    } else {
        Result result{};
        pthread_cleanup_push(lock_detail::release_on_cancel, &lock);
        lock_detail::lock(lock);
        result = body();
        lock_detail::unlock(lock);
        pthread_cleanup_pop(0);
        return result;
    }
}

inline void unlock_mutex_cleanup(void* mutex) {
    pthread_mutex_unlock(static_cast<pthread_mutex_t*>(mutex));
}

template <class Body>
auto with_lock(pthread_mutex_t& mutex, Body&& body) -> decltype(body()) {
    using Result = decltype(body());
    int entry_state;
    int body_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &entry_state);
    pthread_mutex_lock(&mutex);
    if constexpr (std::is_void_v<Result>) {
        pthread_cleanup_push(unlock_mutex_cleanup, &mutex);
        pthread_setcancelstate(entry_state, nullptr);
        body();
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &body_state);
        pthread_cleanup_pop(1);
        pthread_setcancelstate(body_state, nullptr);
    } else {
        Result result{};
        pthread_cleanup_push(unlock_mutex_cleanup, &mutex);
        pthread_setcancelstate(entry_state, nullptr);
        result = body();
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &body_state);
        pthread_cleanup_pop(1);
        pthread_setcancelstate(body_state, nullptr);
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
