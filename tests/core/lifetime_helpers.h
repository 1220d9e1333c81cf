// Helpers of the object-lifetime tests, built without exceptions like the library
// (lifetime_helpers_nx.cpp).
//
// Storm threads: each loops over every operation of its kind, on the handle given and on objects
// of its own, until it is cancelled asynchronously. The event storm also uses g_own_event, an
// auto-reset event in the test's memory.
#pragma once

#include <windows.h>

namespace storm {
extern EVENT_RECORD g_own_event;
void* EventStorm(void* shared);
void* SemaphoreStorm(void* shared);
}  // namespace storm

// The lifetime mechanism on a record of the test's own, whose destroy leaves a mark a use can see.
namespace uses {
// One use, pausing `pause` inside it; true if the record was live. A use that sees the record
// destroyed is counted in TornUses().
bool UseOnce(int pause);
// The last close of the record, then the record made live again for a while.
void CloseAndRevive();
long TornUses();
}  // namespace uses
