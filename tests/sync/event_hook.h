#pragma once

#include <atomic>

namespace eventhook {
// While set, a thread entering CreateEventA spins forever holding the table lock.
extern std::atomic<int> g_spin_in_create;
extern std::atomic<int> g_spinning;
}  // namespace eventhook
