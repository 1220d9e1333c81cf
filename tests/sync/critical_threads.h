// A thread for critical_test.cpp, in critical_threads_nx.cpp: built without exceptions like the
// library, so that a cancelled thread is torn down by clean-up handlers only.
#pragma once

#include <tarvex/sync.h>

#include <atomic>

namespace tvxtest {

// Enters `section` `entries` times, then keeps bumping `progress`, leaving once each time
// `leaves_requested` rises, and returns after its last leave. `cancelled` is set by a clean-up
// handler: glibc 2.36 may act on a request left pending while cancellation was disabled, under the
// asynchronous type, without recording PTHREAD_CANCELED as the thread's result.
struct Script {
    CRITICAL_SECTION* section = nullptr;
    int entries = 1;
    bool asynchronous = false;  // its cancellation type
    std::atomic<int> leaves_requested{0}, leaves_done{0}, inside_state{-1};  // cancel state inside
    std::atomic<unsigned long> progress{0};
    std::atomic<bool> cancelled{false};
};
void* RunScript(void* script);
int CancelState();  // the calling thread's, unchanged

}  // namespace tvxtest
