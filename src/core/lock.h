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
#pragma once

#include <pthread.h>

#include <type_traits>

namespace tarvex {

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
