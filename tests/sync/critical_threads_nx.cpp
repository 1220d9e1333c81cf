// Cancellable thread bodies for critical_test.cpp (see critical_threads.h).
#include "critical_threads.h"

#include <pthread.h>
#include <sched.h>

namespace tvxtest {
namespace {

void MarkCancelled(void* flag) {
    static_cast<std::atomic<bool>*>(flag)->store(true);
}

}  // namespace

void* OwnUntilCancelled(void* arg) {
    auto* script = static_cast<OwnerScript*>(arg);
    pthread_cleanup_push(MarkCancelled, &script->cancelled);
    // Asynchronous: a cancellation request takes effect at once wherever cancellation is
    // enabled, so only the section's own disabling keeps this thread alive.
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
    for (int i = 0; i < script->entries; ++i) EnterCriticalSection(script->section);
    script->owns.store(true);
    int done = 0;
    for (;;) {
        script->progress.fetch_add(1);
        if (done < script->leaves_requested.load()) {
            LeaveCriticalSection(script->section);
            script->leaves_done.store(++done);
        }
        sched_yield();
    }
    pthread_cleanup_pop(0);
    return nullptr;
}

void* EnterAndLeave(void* arg) {
    auto* script = static_cast<WaiterScript*>(arg);
    pthread_cleanup_push(MarkCancelled, &script->cancelled);
    pthread_setcanceltype(
        script->asynchronous ? PTHREAD_CANCEL_ASYNCHRONOUS : PTHREAD_CANCEL_DEFERRED, nullptr);
    EnterCriticalSection(script->section);
    script->entered.store(true);
    LeaveCriticalSection(script->section);
    // Back to deferred before the handler is popped, so that a late request cannot land between
    // the pop and the return.
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
    pthread_cleanup_pop(0);
    return nullptr;
}

}  // namespace tvxtest
