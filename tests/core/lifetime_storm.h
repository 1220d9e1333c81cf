// Storm threads for the object-lifetime tests (lifetime_storm_nx.cpp): each loops over every
// operation of its kind, on the handle given and on objects of its own, until it is cancelled
// asynchronously. The event storm also uses g_own_event, an auto-reset event in the test's memory.
#pragma once

#include <windows.h>

namespace storm {
extern EVENT_RECORD g_own_event;
void* EventStorm(void* shared);
void* SemaphoreStorm(void* shared);
}  // namespace storm
