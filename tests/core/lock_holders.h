// Threads for the lock-helper tests; defined in lock_holders_nx.cpp (built without exceptions).
#pragma once

#include <pthread.h>

#include <atomic>

namespace lockholders {

enum HookMode { kHookOff, kHookSpinInLog };

extern pthread_mutex_t g_mutex;
extern std::atomic<int> g_holding;
extern std::atomic<int> g_hook_mode;

void* HoldAtCancellationPoint(void*);
void* HoldSpinningAsync(void*);

// The same for the table lock (the lock kind every object table uses).
void* HoldTableLockAtCancellationPoint(void*);
void* HoldTableLockSpinningAsync(void*);
void* ChurnTableLockAsync(void* counter);
void CountUnderTableLock(int rounds, long* counter);
bool TableLockIsFree();

}  // namespace lockholders
