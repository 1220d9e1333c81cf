#pragma once

#include <atomic>

namespace eventhook {
// While set, a thread entering CreateEventA spins forever holding the table lock.
extern std::atomic<int> g_spin_in_create;
extern std::atomic<int> g_spinning;
// Waits that have counted themselves among an event's waiters (and so are blocked, or about to
// block with the event's lock still held), over the program's life.
extern std::atomic<int> g_counted_waiters;
}  // namespace eventhook
