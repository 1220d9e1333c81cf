// Threads that hold a lock through the library's lock helper when they are cancelled. Built
// without exceptions, like the library, since that is what lets the cleanup handlers run under
// asynchronous cancellation.
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "core/lock.h"
#include "lock_holders.h"

namespace lockholders {

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
tarvex::TableLock g_table_lock;
std::atomic<int> g_holding{0};
volatile unsigned long g_spins = 0;
std::atomic<int> g_hook_mode{kHookOff};

void* HoldAtCancellationPoint(void*) {
    tarvex::with_lock(g_mutex, [] {
        g_holding = 1;
        for (;;) {
            struct timespec t = {10, 0};
            nanosleep(&t, nullptr);  // a cancellation point
        }
    });
    return nullptr;
}

void* HoldSpinningAsync(void*) {
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
    tarvex::with_lock(g_mutex, [] {
        g_holding = 1;
        // No calls: only asynchronous cancellation could stop this, and a mutex section holds
        // it off until the section ends.
        while (g_holding.load() != 2) g_spins = g_spins + 1;
    });
    for (;;) g_spins = g_spins + 1;
    return nullptr;
}

void* HoldTableLockAtCancellationPoint(void*) {
    tarvex::with_lock(g_table_lock, [] {
        g_holding = 1;
        for (;;) {
            struct timespec t = {10, 0};
            nanosleep(&t, nullptr);
        }
    });
    return nullptr;
}

void* HoldTableLockSpinningAsync(void*) {
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
    tarvex::with_lock(g_table_lock, [] {
        g_holding = 1;
        for (;;) g_spins = g_spins + 1;
    });
    return nullptr;
}

// Takes and releases the table lock in a tight loop with asynchronous cancellation on, so a
// cancellation lands at every possible point of the acquire and release paths over many rounds.
void* ChurnTableLockAsync(void* counter) {
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
    g_holding = 1;
    volatile long* count = static_cast<volatile long*>(counter);
    for (;;) tarvex::with_lock(g_table_lock, [&] { *count = *count + 1; });
    return nullptr;
}

void CountUnderTableLock(int rounds, long* counter) {
    for (int i = 0; i < rounds; ++i) tarvex::with_lock(g_table_lock, [&] { ++*counter; });
}

bool TableLockIsFree() { return __atomic_load_n(&g_table_lock.word, __ATOMIC_SEQ_CST) == 0; }

}  // namespace lockholders

// The library calls this while it holds one of its own locks (LogMutex here).
extern "C" void TarvexTestHook(const char* where, const void* detail) {
    using namespace lockholders;
    // A run with TVX_TEST_FENCED set orders lock releases without the kernel's barrier.
    if (strcmp(where, "barrier-mode") == 0 && getenv("TVX_TEST_FENCED") != nullptr)
        *const_cast<int*>(static_cast<const int*>(detail)) = 0;
    if (g_hook_mode.load() == kHookSpinInLog && strcmp(where, "log-locked") == 0) {
        g_holding = 1;
        for (;;) g_spins = g_spins + 1;
    }
}
