// See lock_holders.h.
#include <time.h>

#include "core/lock.h"
#include "lock_holders.h"

namespace lockholders {

static pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
static tarvex::TableLock g_table;
static volatile unsigned long g_spins = 0;
std::atomic<int> g_holding{0};

void* Hold(void* arg) {
    const How how = static_cast<How>(reinterpret_cast<long>(arg));
    const bool asleep = how == kMutexAsleep || how == kTableAsleep;
    if (!asleep) pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
    auto hold = [&] {  // spinning, only asynchronous cancellation can stop it
        g_holding = 1;
        for (struct timespec t = {10, 0}; g_holding != 2 || how != kMutexSpinning;)  // loads: no call
            if (asleep) nanosleep(&t, nullptr);  // a cancellation point
    };
    if (how == kTableChurning) g_holding = 1;
    while (how == kTableChurning) tarvex::with_lock(g_table, [] { g_spins = g_spins + 1; });  // hit anywhere
    if (how > kMutexSpinning) return tarvex::with_lock(g_table, hold), nullptr;
    tarvex::with_lock(g_mutex, hold);  // a cancellation deferred to the section's end lands after it
    for (;;) g_spins = g_spins + 1;
}

bool IsFree(How how) {
    if (how <= kMutexSpinning)
        return pthread_mutex_trylock(&g_mutex) == 0 && pthread_mutex_unlock(&g_mutex) == 0;
    return __atomic_load_n(&g_table.word, __ATOMIC_SEQ_CST) == 0 &&
           __atomic_load_n(&g_table.sleepers, __ATOMIC_SEQ_CST) == 0;
}

}  // namespace lockholders
