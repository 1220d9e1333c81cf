// A thread for critical_test.cpp, in critical_threads_nx.cpp: built without exceptions like the
// library, so that a thread that is ended is torn down by clean-up handlers only.
#pragma once

#include <tarvex/core.h>
#include <tarvex/proc.h>
#include <tarvex/sync.h>

#include <atomic>

namespace tvxtest {

// Enters `section` `entries` times, then keeps bumping `progress`, leaving once each time
// `leaves_requested` rises, and returns after its last leave. `ended` is set by a clean-up
// handler, however the thread was ended (cancellation or TerminateThread).
struct Script {
    CRITICAL_SECTION* section = nullptr;
    int entries = 1;
    bool asynchronous = false;  // its cancellation type
    std::atomic<int> leaves_requested{0}, leaves_done{0}, inside{0};
    std::atomic<unsigned long> progress{0};
    std::atomic<bool> ended{false};
};
void* RunScript(void* script);
DWORD WINAPI RunScriptThread(LPVOID script);  // the same, as a start routine of CreateThread

}  // namespace tvxtest
