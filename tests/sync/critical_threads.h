// A thread body for critical_test.cpp, defined in critical_threads_nx.cpp: built without exceptions
// like the library, so that a cancelled thread is torn down by clean-up handlers only.
#pragma once

#include <tarvex/sync.h>

#include <atomic>

namespace tvxtest {

// Enters `section` `entries` times, then keeps bumping `progress`, leaving once each time
// `leaves_requested` rises, and returns after its last leave.
struct Script {
    CRITICAL_SECTION* section = nullptr;
    int entries = 1;
    bool asynchronous = false;  // the cancellation type it runs with
    std::atomic<int> leaves_requested{0};
    std::atomic<int> inside_state{-1};  // its cancellation state once all entries are done
    std::atomic<int> leaves_done{0};
    std::atomic<unsigned long> progress{0};
    // Set by a clean-up handler, so only if the thread was torn down by cancellation. The tests
    // check this rather than the join result: glibc 2.36 acts on a request left pending while
    // cancellation was disabled, under the asynchronous type, from inside pthread_setcancelstate
    // without recording PTHREAD_CANCELED as the thread's result.
    std::atomic<bool> cancelled{false};
};
void* RunScript(void* script);

}  // namespace tvxtest
