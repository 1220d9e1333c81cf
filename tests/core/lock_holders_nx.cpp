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
    // No call while spinning: only asynchronous cancellation could stop it. A mutex section holds
    // that off until it ends, which it does when told (g_holding 2).
    auto hold = [asleep, how] {
        g_holding = 1;
        for (struct timespec t = {10, 0};;)
            if (asleep) nanosleep(&t, nullptr);  // a cancellation point
            else if (how == kMutexSpinning && g_holding == 2) return;
            else g_spins = g_spins + 1;
    };
    if (how == kTableChurning) {  // cancelled anywhere in the take and release paths
        g_holding = 1;
        for (;;) tarvex::with_lock(g_table, [] { g_spins = g_spins + 1; });
    }
    if (how == kMutexAsleep || how == kMutexSpinning) {
        tarvex::with_lock(g_mutex, hold);
        for (;;) g_spins = g_spins + 1;
    }
    return tarvex::with_lock(g_table, hold), nullptr;
}

bool IsFree(How how) {
    if (how == kMutexAsleep || how == kMutexSpinning)
        return pthread_mutex_trylock(&g_mutex) == 0 && pthread_mutex_unlock(&g_mutex) == 0;
    return __atomic_load_n(&g_table.word, __ATOMIC_SEQ_CST) == 0 &&
           __atomic_load_n(&g_table.sleepers, __ATOMIC_SEQ_CST) == 0;
}

}  // namespace lockholders
