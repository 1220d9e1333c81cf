// Thread bodies for the critical-section tests that cancel a thread. They live in
// critical_threads_nx.cpp, built without exceptions like the library, so that a cancelled thread
// is torn down through cleanup handlers only, as a host's thread is.
#pragma once

#include <tarvex/sync.h>

#include <atomic>

namespace tvxtest {

// Both bodies set `cancelled` from a cleanup handler, which runs only when the thread is torn down
// by cancellation. That, rather than the value pthread_join reports, is what the tests check:
// glibc 2.36 acts on a cancellation request left pending while cancellation was disabled, under
// the asynchronous type, from inside pthread_setcancelstate without recording PTHREAD_CANCELED as
// the thread's result.

// A thread that enters `section` `entries` times, then keeps bumping `progress` and leaves once
// each time the test raises `leaves_requested`. It runs with asynchronous cancellation and never
// returns on its own: it ends only by being cancelled.
struct OwnerScript {
    CRITICAL_SECTION* section = nullptr;
    int entries = 1;
    std::atomic<bool> owns{false};  // set once all entries are done
    std::atomic<int> leaves_requested{0};
    std::atomic<int> leaves_done{0};
    std::atomic<unsigned long> progress{0};
    std::atomic<bool> cancelled{false};
};
void* OwnUntilCancelled(void* script);

// A thread that enters `section` (blocking if need be), records that it got in, and leaves.
// `asynchronous` picks its cancellation type.
struct WaiterScript {
    CRITICAL_SECTION* section = nullptr;
    bool asynchronous = false;
    std::atomic<bool> entered{false};
    std::atomic<bool> cancelled{false};
};
void* EnterAndLeave(void* script);

}  // namespace tvxtest
