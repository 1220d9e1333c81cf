// A seam for tests that must stop a thread at a precise point inside the library (for example
// while it holds a table lock). The library calls TarvexTestHook only if the host program defines
// it; ordinary hosts do not, so the call costs one predictable branch.
#pragma once

extern "C" void TarvexTestHook(const char* where, const void* detail)
    __attribute__((weak, visibility("default")));

namespace tarvex {

inline void test_hook(const char* where, const void* detail = nullptr) {
    if (TarvexTestHook != nullptr) TarvexTestHook(where, detail);
}

}  // namespace tarvex
