// Critical sections: recursive in-process locks that live in memory the caller owns.
//
// There is no table and no library-wide lock here; every piece of state is in the caller's
// CRITICAL_SECTION. This unit calls the cancellation-safe lock helper (core/lock.h) and
// Pthread_cond_wait (core/syswrap.cpp).
//
// Ownership is the word `locked`: 0 free, 1 taken, 2 taken with threads asleep on it (a futex,
// as a mutex is built). It is taken by compare-and-swap 0 -> 1, or by a sleeper's exchange to 2,
// and given back by exchanging 0, which wakes one sleeper when it finds 2. So entering and
// leaving a free section never touch the mutex, and a contended hand-off costs one wake-up. The
// mutex and the condition variable are only where a revoking thread waits for the reserved
// thread's hold to end (below); `waiters` counts the threads that sleep, for either reason.
//
// Who touches what:
//   locked   compare-and-swap or exchange by any thread that wants the section; exchanged to 0 by
//            the owner's final leave. Acquire/release through it carries `count` from one owner
//            to the next.
//   owner    written by the owner only (itself after taking the section, all ones before giving
//            it back); read by anyone to recognise a recursive entry or a leave by a stranger. A
//            thread can read its own identifier there only if it wrote it itself, so a relaxed
//            load is enough, and testing it before the compare-and-swap spares a nested entry
//            the cost of a locked instruction that is bound to fail.
//   count    read and written by the owner only.
//   waiters  incremented and decremented by sleeping threads; read by the reserved thread's leave.
//   reservedFor, revoked, reservedHeld: the reservation, below.
//
// The process-wide barrier (core/barrier.h). The reservation needs "either I see your store or
// you see mine" between the reserved thread's hot path and a revoker; the revoker pays for it with
// the kernel's process-wide barrier, once per section, and the reserved thread only keeps its
// store and load in order. Where the kernel offers no such barrier, sections are never reserved.
// Threads that sleep for `locked` need no barrier: the futex compares the word in the kernel.
//
// The reservation. Many sections are only ever used by one thread. The first thread to take a
// section (by `locked`) reserves it: `reservedFor` is written once, by a holder of `locked`.
// From then on that thread enters by storing 1 into `reservedHeld` and checking that `revoked`
// is still 0, and leaves by storing 0 there, with no locked instruction of its own. Any other
// thread that takes `locked` while the reservation stands revokes it for good: it stores 1 into
// `revoked`, passes the process-wide barrier and then looks at `reservedHeld`. Either the
// reserved thread's check comes after the barrier and sees the revocation (it backs off and
// competes for `locked` like everyone else from then on), or its store of 1 is visible to the
// revoker, which then waits, holding `locked`, until the reserved thread's leave stores 0 and
// wakes it (the same Dekker pattern with `waiters`, hence a wake-up of every sleeper there). A
// revoker that only tries (TryEnterCriticalSection) gives up instead and hands `locked` back; the
// next thread to take it still sees `reservedHeld` set and waits in its turn.
//
// Termination. A thread that owns a section must not end (it would leave the section owned for
// ever), so it is pinned (core/termination.h) from before the compare-and-swap, exchange or
// reservation store that could make it the owner until after the final leave has given the
// section back and woken the next owner: TerminateThread's mark waits for that leave. Sleeping,
// on the other hand, happens unpinned: a thread blocked in EnterCriticalSection can be terminated
// (unless it owns another section), and its clean-up handler takes it off `waiters`. So can a
// thread that waits for the reserved thread's hold to end while it already holds `locked`; its
// handler gives `locked` back. The cancellation state is never touched.
#include <tarvex/core.h>
#include <tarvex/sync.h>

#include <pthread.h>

#include <type_traits>

#include "core/barrier.h"
#include "core/lock.h"
#include "core/termination.h"

namespace tarvex {
namespace {

static_assert(std::is_integral_v<pthread_t>,
              "the owner is read and written with atomic loads and stores");

// The owner of a section that nobody owns: all ones, never the identifier of a live thread.
constexpr pthread_t kNoOwner = ~pthread_t{0};

// The calling thread's identifier, kept per thread: this is read on every enter and leave, and
// the thread library's call costs more than the rest of a nested entry. A forked child's thread
// keeps its identifier, so the cache stays right there too.
thread_local pthread_t t_self __attribute__((tls_model("initial-exec"))) = 0;

__attribute__((noinline, cold)) pthread_t learn_self_id() { return t_self = pthread_self(); }

pthread_t self_id() {
    pthread_t self = t_self;
    return __builtin_expect(self != 0, 1) ? self : learn_self_id();
}

template <typename T>
T relaxed(const T& field) {
    return __atomic_load_n(&field, __ATOMIC_RELAXED);
}

bool owned_by(const CRITICAL_SECTION* section, pthread_t self) {
    return pthread_equal(relaxed(section->owner), self) != 0;
}

// Sequentially consistent even when it fails: the missed-wake-up argument above needs the
// waiter's test of `locked` ordered after its increment of `waiters`.
bool try_take(CRITICAL_SECTION* section) {
    LONG expected = 0;
    return __atomic_compare_exchange_n(&section->locked, &expected, 1, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

void become_owner(CRITICAL_SECTION* section, pthread_t self) {
    __atomic_store_n(&section->owner, self, __ATOMIC_RELAXED);
    section->count = 1;
}

// Out of line, so that the uncontended paths need no stack frame of their own.
__attribute__((noinline)) void wake_waiters(CRITICAL_SECTION* section, bool all) {
    with_lock(section->lock, [section, all] {
        if (all)
            pthread_cond_broadcast(&section->freeSignal);
        else
            pthread_cond_signal(&section->freeSignal);
    });
}

// Gives `locked` back and wakes one sleeper, if any.
void release(CRITICAL_SECTION* section) {
    if (__atomic_exchange_n(&section->locked, 0, __ATOMIC_SEQ_CST) == 2)
        lock_detail::futex_wake_one(reinterpret_cast<uint32_t*>(&section->locked));
}

// The reserved thread's hold ends (or its attempt backs off). Every sleeper is woken: a revoker
// waiting for this store may sleep among threads that wait for `locked`.
void release_reservation(CRITICAL_SECTION* section) {
    if (store_then_load(&section->reservedHeld, LONG{0}, &section->waiters)) wake_waiters(section, true);
}

__attribute__((noinline)) void back_off(CRITICAL_SECTION* section) { release_reservation(section); }

// The reserved thread's way in. False if the section is not reserved for it, or no longer.
bool enter_reserved(CRITICAL_SECTION* section, pthread_t self) {
    if (relaxed(section->revoked) != 0 || !pthread_equal(relaxed(section->reservedFor), self))
        return false;
    __atomic_store_n(&section->reservedHeld, 1, __ATOMIC_RELAXED);
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    if (relaxed(section->revoked) == 0) {
        become_owner(section, self);
        return true;
    }
    back_off(section);
    return false;
}

bool held_by_reservation(const CRITICAL_SECTION* section, pthread_t self) {
    return relaxed(section->reservedHeld) != 0 &&
           pthread_equal(relaxed(section->reservedFor), self);
}

// The clean-up of a thread ended while it sleeps for `locked`.
void forget_waiter(void* arg) {
    __atomic_sub_fetch(&static_cast<CRITICAL_SECTION*>(arg)->waiters, 1, __ATOMIC_SEQ_CST);
}

// The clean-up of a revoker cancelled while it waits for the reserved thread's hold to end, run
// with the mutex held: it gives back `locked`, which it took before waiting, and wakes one
// thread that waits for it.
void give_up_revoking(void* arg) {
    auto* section = static_cast<CRITICAL_SECTION*>(arg);
    __atomic_sub_fetch(&section->waiters, 1, __ATOMIC_SEQ_CST);
    release(section);
}

// Sleeps on the free-signal, unpinned, until woken. Under the section's mutex, with the clean-up
// that undoes this thread's part registered.
void sleep_unpinned(CRITICAL_SECTION* section) {
    unpin();
    at_cancel_point([section] { return Pthread_cond_wait(&section->freeSignal, &section->lock); });
    pin();
}

// Called holding `locked` when the section is reserved for another thread, or nobody yet, or
// that thread's hold may still be going on (its `reservedHeld` is set): reserves the section, or
// revokes the other thread's reservation and makes sure that thread does not hold it. Returns
// false if the reserved thread holds it now and the caller would rather not wait; otherwise
// waits for that hold to end.
//
// After the first revocation's barrier the reserved thread can start no new hold, but one that it
// started before may still be going on, and its `reservedHeld` is visible to everyone. So a
// thread that takes `locked` later (including the first revoker's successors, after a revoking
// TryEnterCriticalSection gave up) comes here as long as it sees that flag set.
__attribute__((noinline)) bool settle_reservation(CRITICAL_SECTION* section, pthread_t self,
                                                  bool wait) {
    if (pthread_equal(relaxed(section->reservedFor), kNoOwner)) {
        if (relaxed(section->revoked) == 0)
            __atomic_store_n(&section->reservedFor, self, __ATOMIC_RELAXED);
        return true;
    }
    if (relaxed(section->revoked) == 0) __atomic_store_n(&section->revoked, 1, __ATOMIC_SEQ_CST);
    fence_every_thread();
    if (!wait) return __atomic_load_n(&section->reservedHeld, __ATOMIC_ACQUIRE) == 0;
    with_lock(section->lock, [&] {
        __atomic_add_fetch(&section->waiters, 1, __ATOMIC_SEQ_CST);
        with_cancel_cleanup(give_up_revoking, section, [&] {
            fence_every_thread();
            while (__atomic_load_n(&section->reservedHeld, __ATOMIC_ACQUIRE) != 0)
                sleep_unpinned(section);
            __atomic_sub_fetch(&section->waiters, 1, __ATOMIC_SEQ_CST);
        });
    });
    return true;
}

// Called with `locked` just taken: the section is this thread's once the reservation allows.
bool take_over(CRITICAL_SECTION* section, pthread_t self, bool wait) {
    // Acquire: seeing the reserved thread's last hold ended must also show what it did inside.
    if (__builtin_expect(relaxed(section->revoked) == 0 ||
                             __atomic_load_n(&section->reservedHeld, __ATOMIC_ACQUIRE) != 0,
                         0) &&
        !pthread_equal(relaxed(section->reservedFor), self) &&
        !settle_reservation(section, self, wait))
        return false;
    become_owner(section, self);
    return true;
}

// The contended half of EnterCriticalSection; returns owning the section, pinned. A sleeper takes
// `locked` by exchanging 2 into it, so that its own leave wakes whoever sleeps after it. No spin
// first: measured, spinning only took processor time from the owner on a busy machine.
__attribute__((noinline)) void enter_contended(CRITICAL_SECTION* section, pthread_t self) {
    auto* word = reinterpret_cast<uint32_t*>(&section->locked);
    __atomic_add_fetch(&section->waiters, 1, __ATOMIC_SEQ_CST);
    with_cancel_cleanup(forget_waiter, section, [&] {
        while (__atomic_exchange_n(&section->locked, 2, __ATOMIC_SEQ_CST) != 0) {
            unpin();
            at_wait_point([word] { lock_detail::futex_wait(word, 2); });
            pin();
        }
    });
    __atomic_sub_fetch(&section->waiters, 1, __ATOMIC_SEQ_CST);
    take_over(section, self, true);
}

}  // namespace
}  // namespace tarvex

using tarvex::kNoOwner;
using tarvex::owned_by;
using tarvex::try_take;

extern "C" {

TARVEX_API void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    if (section == nullptr) return;
    tarvex::settle_process_barrier();
    pthread_mutex_init(&section->lock, nullptr);
    pthread_cond_init(&section->freeSignal, nullptr);
    section->count = 0;
    section->locked = 0;
    section->owner = kNoOwner;
    section->waiters = 0;
    section->reservedHeld = 0;
    // Without the barrier a reservation could not be revoked safely, so none is ever made.
    section->revoked = tarvex::process_barrier() ? 0 : 1;
    section->reservedFor = kNoOwner;
}

// Whatever the section's state: deleting a section that a thread owns or waits for is the
// caller's error, as it is for the POSIX primitives underneath.
TARVEX_API void DeleteCriticalSection(LPCRITICAL_SECTION section) {
    if (section == nullptr) return;
    pthread_cond_destroy(&section->freeSignal);
    pthread_mutex_destroy(&section->lock);
}

TARVEX_API void EnterCriticalSection(LPCRITICAL_SECTION section) {
    if (section == nullptr) return;
    pthread_t self = tarvex::self_id();
    if (owned_by(section, self)) {
        ++section->count;
        return;
    }
    tarvex::pin();
    if (tarvex::enter_reserved(section, self)) return;
    if (try_take(section)) {
        tarvex::take_over(section, self, true);
        return;
    }
    tarvex::enter_contended(section, self);
}

TARVEX_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
    if (section == nullptr) return FALSE;
    pthread_t self = tarvex::self_id();
    if (owned_by(section, self)) {
        ++section->count;
        return TRUE;
    }
    tarvex::pin();
    if (tarvex::enter_reserved(section, self)) return TRUE;
    if (try_take(section)) {
        if (tarvex::take_over(section, self, false)) return TRUE;
        tarvex::release(section);  // the reserved thread holds it
    }
    tarvex::unpin();
    return FALSE;
}

// A leave by a thread that does not own the section, or one more than the owner's entries, does
// nothing at all: it neither releases the section from under its owner nor unpins the calling
// thread. Giving the section away on a stray leave would let two threads in
// at once, which is the one thing a lock must not do.
TARVEX_API void LeaveCriticalSection(LPCRITICAL_SECTION section) {
    if (section == nullptr) return;
    pthread_t self = tarvex::self_id();
    if (!owned_by(section, self) || section->count == 0) return;
    if (--section->count != 0) return;
    __atomic_store_n(&section->owner, kNoOwner, __ATOMIC_RELAXED);
    if (tarvex::held_by_reservation(section, self))
        tarvex::release_reservation(section);
    else
        tarvex::release(section);
    tarvex::unpin();
}

}  // extern "C"
