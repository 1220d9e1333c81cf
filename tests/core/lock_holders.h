// Threads that hold a lock through the library's lock helper when they are cancelled; defined in
// lock_holders_nx.cpp, built without exceptions like the library, which is what lets the clean-up
// handlers run under asynchronous cancellation.
#pragma once

#include <atomic>

namespace lockholders {

// A pthread mutex or a table lock, held asleep at a cancellation point or spinning under
// asynchronous cancellation; or a table lock taken and released in a tight loop.
enum How { kMutexAsleep, kMutexSpinning, kTableAsleep, kTableSpinning, kTableChurning };
extern std::atomic<int> g_holding;
void* Hold(void* how);  // a thread's start: returns only by cancellation
bool IsFree(How how);   // the lock it uses is free (a table lock also without sleepers)

}  // namespace lockholders
