// See critical_threads.h.
#include "critical_threads.h"

#include <sched.h>

void* tvxtest::RunScript(void* arg) {
    auto* script = static_cast<Script*>(arg);
    pthread_cleanup_push([](void* flag) { static_cast<std::atomic<bool>*>(flag)->store(true); },
                         &script->ended);
    pthread_setcanceltype(script->asynchronous ? PTHREAD_CANCEL_ASYNCHRONOUS : PTHREAD_CANCEL_DEFERRED,
                          nullptr);
    for (int i = 0; i < script->entries; ++i) EnterCriticalSection(script->section);
    script->inside.store(1);
    for (int done = 0; done < script->entries; sched_yield()) {
        script->progress.fetch_add(1);
        if (done < script->leaves_requested.load())
            LeaveCriticalSection(script->section), script->leaves_done.store(++done);
    }
    // Deferred before the pop, so that a late request cannot land between the pop and the return.
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
    pthread_cleanup_pop(0);
    return nullptr;
}

DWORD WINAPI tvxtest::RunScriptThread(LPVOID script) {
    RunScript(script);
    return 0;
}
