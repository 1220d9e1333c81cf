// See lifetime_storm.h. Built without exceptions, like the library, so cancellation unwinds the
// way it does in a host.
#include <windows.h>

#include <pthread.h>

#include "lifetime_storm.h"

namespace storm {

EVENT_RECORD g_own_event;

namespace {

// A storm thread's own object is closed by its clean-up, so that cancelled rounds do not fill
// the table (the windows around the create and the close are an instruction or two).
void CloseOwn(void* handle) {
    HANDLE* own = static_cast<HANDLE*>(handle);
    if (*own != INVALID_HANDLE_VALUE) CloseHandle(*own);
}

template <HANDLE (*Create)(), void (*Use)(HANDLE shared, unsigned round)>
void* Storm(void* shared) {
    volatile HANDLE own = INVALID_HANDLE_VALUE;
    pthread_cleanup_push(CloseOwn, const_cast<HANDLE*>(&own));
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
    for (unsigned i = 0;; ++i) {
        own = Create();
        Use(own, i);
        CloseHandle(own);
        own = INVALID_HANDLE_VALUE;
        Use(static_cast<HANDLE>(shared), i);
    }
    pthread_cleanup_pop(0);
    return nullptr;
}

HANDLE NewEvent() { return CreateEventA(nullptr, FALSE, TRUE, nullptr); }
HANDLE NewSemaphore() { return CreateSemaphoreA(nullptr, 5, 10, nullptr); }

void UseEvent(HANDLE event, unsigned i) {
    SetEvent(event);
    WaitForSingleObject(event, i % 4 == 0 ? 1 : 0);
    PulseEvent(event);
    ResetEvent(event);
    SetEventIn(&g_own_event);
    WaitForEventIn(&g_own_event, i % 2);
    PulseEventIn(&g_own_event);
}

void UseSemaphore(HANDLE semaphore, unsigned i) {
    ReleaseSemaphore(semaphore, 1, nullptr);
    WaitForSingleObject(semaphore, 0);
    WaitForSingleObject(semaphore, i % 4 == 0 ? 1 : 0);
}

}  // namespace

void* EventStorm(void* shared) { return Storm<NewEvent, UseEvent>(shared); }
void* SemaphoreStorm(void* shared) { return Storm<NewSemaphore, UseSemaphore>(shared); }

}  // namespace storm
