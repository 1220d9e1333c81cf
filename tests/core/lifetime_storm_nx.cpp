// Threads that loop over every operation of a kind until they are cancelled asynchronously, and
// the test hook for the refused-barrier case. Built without exceptions, like the library, so
// cancellation unwinds the way it does in a host.
#include <windows.h>

#include <pthread.h>
#include <string.h>

#include <atomic>

#include "lifetime_storm.h"

namespace storm {

EVENT_RECORD g_own_event;
std::atomic<int> g_refuse_barrier{0};
std::atomic<int> g_barrier_calls{0};

namespace {

// A storm thread's own object is closed by its clean-up, so that cancelled rounds do not fill
// the table (the windows around the create and the close are an instruction or two).
void CloseOwn(void* handle) {
    HANDLE* own = static_cast<HANDLE*>(handle);
    if (*own != INVALID_HANDLE_VALUE) CloseHandle(*own);
}

}  // namespace

void* EventStorm(void* arg) {
    HANDLE shared = static_cast<HANDLE>(arg);
    volatile HANDLE temp = INVALID_HANDLE_VALUE;
    pthread_cleanup_push(CloseOwn, const_cast<HANDLE*>(&temp));
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
    for (unsigned i = 0;; ++i) {
        temp = CreateEventA(nullptr, FALSE, TRUE, nullptr);
        WaitForSingleObject(temp, 0);
        SetEvent(temp);
        CloseHandle(temp);
        temp = INVALID_HANDLE_VALUE;
        SetEvent(shared);
        WaitForSingleObject(shared, i % 4 == 0 ? 1 : 0);
        PulseEvent(shared);
        ResetEvent(shared);
        SetEventIn(&g_own_event);
        WaitForEventIn(&g_own_event, i % 2);
        PulseEventIn(&g_own_event);
    }
    pthread_cleanup_pop(0);
    return nullptr;
}

void* SemaphoreStorm(void* arg) {
    HANDLE shared = static_cast<HANDLE>(arg);
    volatile HANDLE temp = INVALID_HANDLE_VALUE;
    pthread_cleanup_push(CloseOwn, const_cast<HANDLE*>(&temp));
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
    for (unsigned i = 0;; ++i) {
        temp = CreateSemaphoreA(nullptr, 5, 10, nullptr);
        WaitForSingleObject(temp, 0);
        ReleaseSemaphore(temp, 1, nullptr);
        CloseHandle(temp);
        temp = INVALID_HANDLE_VALUE;
        ReleaseSemaphore(shared, 1, nullptr);
        WaitForSingleObject(shared, 0);
        WaitForSingleObject(shared, i % 4 == 0 ? 1 : 0);
    }
    pthread_cleanup_pop(0);
    return nullptr;
}

}  // namespace storm

extern "C" void TarvexTestHook(const char* where, const void* detail) {
    if (strcmp(where, "barrier-result") != 0) return;
    storm::g_barrier_calls.fetch_add(1);
    if (storm::g_refuse_barrier.load()) *static_cast<int*>(const_cast<void*>(detail)) = -1;
}
