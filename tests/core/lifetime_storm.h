// Storm threads for the object-lifetime tests; defined in lifetime_storm_nx.cpp.
#pragma once

#include <windows.h>

#include <atomic>

namespace storm {

// An auto-reset event in the test's own memory, used by the event storm through the *In calls.
extern EVENT_RECORD g_own_event;
// For the hook "barrier-result": while g_refuse_barrier is set, the process-wide barrier reports
// failure; every call is counted.
extern std::atomic<int> g_refuse_barrier;
extern std::atomic<int> g_barrier_calls;
void CountBarrier(const void* result);

// Loop over every operation of the kind on the handle given and on objects of their own, until
// cancelled; they switch themselves to asynchronous cancellation first.
void* EventStorm(void* shared);
void* SemaphoreStorm(void* shared);

}  // namespace storm
