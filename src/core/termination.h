// When a thread that TerminateThread has marked may end.
//
// Ending a thread at an arbitrary instruction is only safe where it holds nothing that another
// thread will need. Asynchronous cancellation cannot give that guarantee: a cancellation sent
// just before a thread disables it can still be acted on after it did. So the library never
// cancels a thread from outside. TerminateThread marks its target and interrupts it with a
// signal of the library's own (terminate_signal()); the handler, running on the target itself,
// reads the target's own counts and ends the thread at once only when it holds nothing, or when
// it sits at a point of a blocking wait whose clean-up gives back everything it holds. Otherwise
// the mark stays, and the release that brings the counts to zero ends the thread.
//
// Two counts per thread, plain thread-local increments (the handler runs on the same thread, so
// a signal fence orders them against it):
//   locks   library locks held, each with a clean-up handler registered before it was taken;
//           the thread may end inside one only at a wait point, where the handlers run.
//   pins    things that must never be abandoned and have no clean-up to undo them: critical
//           sections owned (entering and leaving are separate calls) and regions that must run
//           to their end. A pinned thread does not end, not even at a wait point.
//
// Wait points come in two kinds. The library's own futex sleeps (at_wait_point) can be ended by
// the handler directly, since the thread is inside a plain system call. The C library's blocking
// calls (a condition wait, sem_wait, a waiting fcntl lock) keep state of their own that only the
// C library's cancellation knows how to undo; inside them (at_cancel_point) the handler asks for
// the thread's cancellation, which the C library acts on at once where its wait is cancellable;
// otherwise the end of the point ends the thread. No cancellation asked for this way outlives the
// point it was asked in.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <cstdint>
#include <type_traits>

namespace tarvex {

// The real-time signal the library reserves for TerminateThread (documented for hosts).
inline int terminate_signal() { return SIGRTMAX - 2; }

struct TerminationState {
    uint32_t locks;
    uint32_t pins;
    volatile sig_atomic_t requested;     // TerminateThread's signal has arrived
    volatile sig_atomic_t wait_point;    // inside a futex sleep of the library
    volatile sig_atomic_t cancel_point;  // inside a blocking call of the C library
    volatile sig_atomic_t cancel_asked;  // the handler asked for this thread's cancellation
    volatile sig_atomic_t ending;        // the thread is on its way out; end nothing twice
    volatile sig_atomic_t terminable;    // a thread of CreateThread, which the signal may end
};

inline thread_local TerminationState t_termination __attribute__((tls_model("initial-exec"))) = {};

// Ends the calling thread now (out of line: the paths that call it are cold).
[[noreturn]] void end_this_thread();

// Installs the handler of terminate_signal() once; 0, or the error number of the refusal.
int install_terminate_handler();

inline void compiler_order() { __atomic_signal_fence(__ATOMIC_SEQ_CST); }

inline bool may_end_now(const TerminationState& state) {
    return state.requested && !state.ending && state.pins == 0;
}

inline void count_lock() {
    ++t_termination.locks;
    compiler_order();
}

inline void uncount_lock() {
    compiler_order();
    TerminationState& state = t_termination;
    if (--state.locks == 0 && __builtin_expect(may_end_now(state), 0)) end_this_thread();
}

inline void pin() {
    ++t_termination.pins;
    compiler_order();
}

inline void unpin() {
    compiler_order();
    TerminationState& state = t_termination;
    if (--state.pins == 0 && state.locks == 0 && __builtin_expect(may_end_now(state), 0))
        end_this_thread();
}

// A futex sleep (or any plain system call) during which everything the thread holds has its
// clean-up registered.
template <class Body>
void at_wait_point(Body&& body) {
    TerminationState& state = t_termination;
    state.wait_point = 1;
    compiler_order();
    if (__builtin_expect(may_end_now(state), 0)) end_this_thread();
    body();
    compiler_order();
    state.wait_point = 0;
}

// A blocking call of the C library during which everything the thread holds has its clean-up
// registered. Counted as a lock, so that the handler never ends the thread inside the C
// library's own bookkeeping.
template <class Body>
auto at_cancel_point(Body&& body) -> decltype(body()) {
    TerminationState& state = t_termination;
    count_lock();
    state.cancel_point = 1;
    compiler_order();
    if (__builtin_expect(may_end_now(state), 0)) end_this_thread();
    auto result = body();
    compiler_order();
    state.cancel_point = 0;
    compiler_order();
    if (__builtin_expect(state.cancel_asked, 0)) end_this_thread();
    uncount_lock();
    return result;
}

// Wraps a short sequence outside any lock that must not be cut in two (a store and the wake-up
// that goes with it): counted as a lock, so a terminated thread ends after it, not inside.
template <class Body>
auto in_one_piece(Body&& body) -> decltype(body()) {
    count_lock();
    if constexpr (std::is_void_v<decltype(body())>) {
        body();
        uncount_lock();
    } else {
        auto result = body();
        uncount_lock();
        return result;
    }
}

}  // namespace tarvex
