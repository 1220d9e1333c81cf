// Test hooks of the event tests. Built without exceptions, like the library, so cancellation
// unwinds the way it does in a host.
#include <string.h>

#include <atomic>

#include "event_hook.h"

namespace eventhook {
std::atomic<int> g_spin_in_create{0};
std::atomic<int> g_spinning{0};
std::atomic<int> g_counted_waiters{0};
volatile unsigned long g_spins = 0;
}  // namespace eventhook

extern "C" void TarvexTestHook(const char* where, const void*) {
    using namespace eventhook;
    if (strcmp(where, "event-waiter-counted") == 0) g_counted_waiters.fetch_add(1);
    if (g_spin_in_create.load() && strcmp(where, "event-table-locked") == 0) {
        g_spinning = 1;
        for (;;) g_spins = g_spins + 1;
    }
}
