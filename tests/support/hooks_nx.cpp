// The one definition of the library's test hook: callbacks by hook point. Built without exceptions
// like the library, so that a thread cancelled inside a callback unwinds as in a host; an object of
// its own in the support library, so that only programs that use it link it.
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "tvx_test.h"

namespace tvxtest {
namespace {
struct Slot {
    std::atomic<const char*> where{nullptr};
    std::atomic<void (*)(const void*)> fn{nullptr};
} g_slots[8];  // claimed in order, never freed
std::atomic<int> g_barrier_mode{-1}, g_spinners{0};
volatile unsigned long g_spins = 0;
}  // namespace

void OnHook(const char* where, void (*fn)(const void*)) {
    for (Slot& s : g_slots) {
        if (s.where.load() == nullptr && fn != nullptr) s.where.store(where);
        if (s.where.load() != nullptr && strcmp(s.where.load(), where) == 0) return s.fn.store(fn);
    }
    if (fn != nullptr) abort();  // more hook points than slots
}

void SpinForever(const void*) {
    g_spinners.fetch_add(1);
    for (;;) g_spins = g_spins + 1;  // no calls: only asynchronous cancellation ends this
}
int HookSpinners() { return g_spinners.load(); }
int BarrierMode() { return g_barrier_mode.load(); }

}  // namespace tvxtest

extern "C" void TarvexTestHook(const char* where, const void* detail) {
    using namespace tvxtest;
    if (strcmp(where, "barrier-mode") == 0) {
        if (getenv("TVX_TEST_FENCED") != nullptr) *const_cast<int*>(static_cast<const int*>(detail)) = 0;
        g_barrier_mode.store(*static_cast<const int*>(detail));
    }
    for (Slot& s : g_slots)
        if (const char* w = s.where.load(); w != nullptr && strcmp(w, where) == 0)
            if (auto fn = s.fn.load()) fn(detail);
}
