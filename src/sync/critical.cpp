// Critical sections: recursive in-process locks that live in memory the caller owns.
//
// There is no table and no library-wide lock here; every piece of state is in the caller's
// CRITICAL_SECTION. This unit calls the cancellation-safe lock helper (core/lock.h) and
// Pthread_cond_wait (core/syswrap.cpp).
//
// Ownership is the word `locked`, taken by compare-and-swap 0 -> 1 and given back by storing 0,
// so entering and leaving a free section never touch the mutex. The mutex and the condition
// variable are only the place where threads that found the section owned go to sleep; `waiters`
// counts them so that a leave can skip the mutex when nobody sleeps.
//
// Who touches what:
//   locked   compare-and-swap by any thread that wants the section; stored 0 by the owner's final
//            leave. Acquire/release through it carries `count` from one owner to the next.
//   owner    written by the owner only (itself after taking `locked`, all ones before giving it
//            back); read by anyone to recognise a recursive entry or a leave by a stranger. A
//            thread can read its own identifier there only if it wrote it itself, so a relaxed
//            load is enough, and testing it before the compare-and-swap spares a nested entry
//            the cost of a locked instruction that is bound to fail.
//   count    read and written by the owner only.
//   waiters  incremented and decremented by sleeping threads under the mutex; read by a leave.
//
// Why a waiter cannot miss its wake-up. A waiter, holding the mutex, increments `waiters` (W1),
// and then tries the compare-and-swap (W2), and sleeps only if W2 failed, releasing the mutex
// atomically as it starts to sleep. The final leave stores 0 into `locked` (L1) and then loads
// `waiters` (L2). The leave must not see the waiter's count as 0 while the waiter sees the
// section as still owned; that needs a full fence between L1 and L2 on one side and between W1
// and W2 on the other, and a fence in every leave would cost as much as the rest of the leave.
// So the whole cost is put on the waiter, which is about to sleep anyway: between W1 and W2 it
// asks the kernel for a process-wide memory barrier (membarrier), which makes every thread of
// the process that is running execute a full fence (one that is not running has passed one on
// being switched out). A leave then only keeps the compiler from reordering L1 and L2.
//   - If L2 ran after that barrier, it sees W1 (and so does every later leave, since the waiter
//     stays counted until it owns the section or is cancelled).
//   - If L2 ran before it, the barrier made L1 visible, so W2 sees the section free (or owned by
//     a thread that took it later, whose own leave runs this same argument).
//   - If L2 sees W1, the leave takes the mutex before it signals. The waiter holds the mutex from
//     before W1 until it is asleep, so the signal comes when the waiter is either asleep (and is
//     woken) or already the owner; a waiter that was woken earlier and is still re-acquiring the
//     mutex re-tests `locked` after L1 in any case.
// Where the kernel offers no such barrier, leaves use sequentially consistent accesses (a fenced
// store) for L1 and L2 instead; which of the two ways a process uses is settled once, by the
// first InitializeCriticalSection, before any section can be left.
// A woken waiter re-tests like everyone else, so a thread that enters in between simply wins and
// the waiter sleeps again until that thread's final leave.
//
// Cancellation. A thread that owns a section must not be cancelled (it would leave the section
// owned for ever), so entering disables cancellation before the compare-and-swap: there is no
// instruction at which the thread owns the section and can still be cancelled, even with
// asynchronous cancellation. The final leave enables cancellation unconditionally, after its
// signal, so that a pending cancellation cannot take the thread down between giving the section
// back and waking the next owner. Sleeping, on the other hand, happens in the caller's own
// cancellation state: a thread blocked in EnterCriticalSection can be cancelled, and its
// clean-up handler takes it off `waiters` and passes on any wake-up it may have absorbed.
#include <tarvex/core.h>
#include <tarvex/sync.h>

#include <errno.h>
#include <linux/membarrier.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <type_traits>

#include "core/lock.h"
#include "core/test_hook.h"

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

bool owned_by(const CRITICAL_SECTION* section, pthread_t self) {
    return pthread_equal(__atomic_load_n(&section->owner, __ATOMIC_RELAXED), self) != 0;
}

// How final leaves order their store of `locked` before their load of `waiters`.
enum ReleaseMode : int {
    kFencedRelease = 0,  // sequentially consistent accesses; also the state before it is settled
    kLightRelease = 1,   // compiler ordering only; waiters issue the process-wide barrier
};

int g_release_mode = kFencedRelease;

int membarrier(int command) { return static_cast<int>(syscall(SYS_membarrier, command, 0, 0)); }

// Registration is per process and survives fork; a new program image starts unregistered and
// settles its mode again at its own first InitializeCriticalSection.
void settle_release_mode() {
    int offered = membarrier(MEMBARRIER_CMD_QUERY);
    bool usable = offered > 0 && (offered & MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0 &&
                  membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0;
    int mode = usable ? kLightRelease : kFencedRelease;
    test_hook("critical-release-mode", &mode);  // tests may ask for the fenced way
    __atomic_store_n(&g_release_mode, mode, __ATOMIC_RELAXED);
}

bool light_release() {
    return __atomic_load_n(&g_release_mode, __ATOMIC_RELAXED) == kLightRelease;
}

// The waiter's half of the light release: false if the barrier could not be had, in which case
// the caller must not trust a failed test of `locked` for long.
bool fence_every_thread() {
    if (!light_release()) return true;  // leaves are fenced themselves
    int saved = errno;
    bool done = membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0;
    errno = saved;
    return done;
}

// Sequentially consistent even when it fails: the missed-wake-up argument above needs the
// waiter's test of `locked` ordered after its increment of `waiters`.
bool try_take(CRITICAL_SECTION* section) {
    LONG expected = 0;
    return __atomic_compare_exchange_n(&section->locked, &expected, 1, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

// Called with `locked` just taken by this thread.
void become_owner(CRITICAL_SECTION* section, pthread_t self) {
    __atomic_store_n(&section->owner, self, __ATOMIC_RELAXED);
    section->count = 1;
}

// The clean-up of a waiter cancelled while asleep (or between its tests), run with the mutex
// held: the wait re-acquires it before the handlers run. The signal that a leave aimed at this
// thread may already have been delivered to it; handing one on costs at most a spurious wake-up
// of another waiter, which re-tests and sleeps again.
void forget_waiter(void* arg) {
    auto* section = static_cast<CRITICAL_SECTION*>(arg);
    __atomic_sub_fetch(&section->waiters, 1, __ATOMIC_SEQ_CST);
    pthread_cond_signal(&section->freeSignal);
}

// The contended half of EnterCriticalSection; returns owning the section, cancellation disabled.
void wait_for_section(CRITICAL_SECTION* section, pthread_t self) {
    with_lock(section->lock, [&] {
        // Counting this thread and registering the handler that un-counts it happen with
        // cancellation disabled, so that the count and the handler always agree.
        int caller_state;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &caller_state);
        __atomic_add_fetch(&section->waiters, 1, __ATOMIC_SEQ_CST);
        with_cancel_cleanup(forget_waiter, section, [&] {
            // Without the barrier a leave may have missed this thread's count; sleeping in short
            // slices bounds what such a leave can cost to one slice.
            bool fenced = fence_every_thread();
            while (!try_take(section)) {
                pthread_setcancelstate(caller_state, nullptr);
                if (fenced) {
                    Pthread_cond_wait(&section->freeSignal, &section->lock);
                } else {
                    timespec until;
                    clock_gettime(CLOCK_REALTIME, &until);
                    until.tv_nsec += 2000000;
                    if (until.tv_nsec >= 1000000000) {
                        until.tv_nsec -= 1000000000;
                        ++until.tv_sec;
                    }
                    Pthread_cond_timedwait(&section->freeSignal, &section->lock, &until);
                }
                pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
            }
            become_owner(section, self);
            __atomic_sub_fetch(&section->waiters, 1, __ATOMIC_SEQ_CST);
        });
    });
}

// Out of line, like wake_one_waiter below, so that the uncontended paths need no stack frame.
__attribute__((noinline)) void enter_contended(CRITICAL_SECTION* section, pthread_t self,
                                               int caller_state) {
    pthread_setcancelstate(caller_state, nullptr);
    wait_for_section(section, self);
}

// Out of line, so that an uncontended leave needs no stack frame of its own.
__attribute__((noinline)) void wake_one_waiter(CRITICAL_SECTION* section) {
    with_lock(section->lock, [section] { pthread_cond_signal(&section->freeSignal); });
}

}  // namespace
}  // namespace tarvex

using tarvex::kNoOwner;
using tarvex::owned_by;
using tarvex::try_take;

extern "C" {

TARVEX_API void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    if (section == nullptr) return;
    static pthread_once_t settled = PTHREAD_ONCE_INIT;
    pthread_once(&settled, tarvex::settle_release_mode);
    pthread_mutex_init(&section->lock, nullptr);
    pthread_cond_init(&section->freeSignal, nullptr);
    section->count = 0;
    section->locked = 0;
    section->owner = kNoOwner;
    section->waiters = 0;
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
    int caller_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &caller_state);
    pthread_t self = tarvex::self_id();
    if (owned_by(section, self)) {
        ++section->count;
        return;
    }
    if (try_take(section)) {
        tarvex::become_owner(section, self);
        return;
    }
    tarvex::enter_contended(section, self, caller_state);
}

TARVEX_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
    if (section == nullptr) return FALSE;
    int caller_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &caller_state);
    pthread_t self = tarvex::self_id();
    if (owned_by(section, self)) {
        ++section->count;
        return TRUE;
    }
    if (try_take(section)) {
        tarvex::become_owner(section, self);
        return TRUE;
    }
    pthread_setcancelstate(caller_state, nullptr);
    return FALSE;
}

// A leave by a thread that does not own the section, or one more than the owner's entries, does
// nothing at all: it neither releases the section from under its owner nor changes the calling
// thread's cancellation state. Giving the section away on a stray leave would let two threads in
// at once, which is the one thing a lock must not do.
TARVEX_API void LeaveCriticalSection(LPCRITICAL_SECTION section) {
    if (section == nullptr) return;
    if (!owned_by(section, tarvex::self_id()) || section->count == 0) return;
    if (--section->count != 0) return;
    __atomic_store_n(&section->owner, kNoOwner, __ATOMIC_RELAXED);
    bool sleepers;
    if (tarvex::light_release()) {
        __atomic_store_n(&section->locked, 0, __ATOMIC_RELEASE);
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
        sleepers = __atomic_load_n(&section->waiters, __ATOMIC_RELAXED) > 0;
    } else {
        __atomic_store_n(&section->locked, 0, __ATOMIC_SEQ_CST);
        sleepers = __atomic_load_n(&section->waiters, __ATOMIC_SEQ_CST) > 0;
    }
    if (sleepers) tarvex::wake_one_waiter(section);
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
}

}  // extern "C"
