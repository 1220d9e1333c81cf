// Threads cancelled while holding a lock through the library's helper, built without exceptions
// like the library (lock_holders_nx.cpp) so that clean-up handlers run under async cancellation.
#pragma once

#include <atomic>

namespace lockholders {

// Held asleep at a cancellation point or spinning under async cancellation, or churned in a loop.
enum How { kMutexAsleep, kMutexSpinning, kTableAsleep, kTableSpinning, kTableChurning };
extern std::atomic<int> g_holding;  // 1 once held; set to 2 to end a spinning mutex section
void* Hold(void* how);  // a thread's start: returns only by cancellation
bool IsFree(How how);   // the lock it uses is free (a table lock also without sleepers)

}  // namespace lockholders
