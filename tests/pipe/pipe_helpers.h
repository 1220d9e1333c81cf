// What both pipe tests write and read with.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "core/handle.h"

inline uint32_t V(HANDLE h) { return tarvex::handle_value(h); }
inline HANDLE Self() { return tarvex::to_handle(static_cast<uint32_t>(getpid())); }

inline HANDLE Dup(HANDLE h) {
    HANDLE copy = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(DuplicateHandle(Self(), h, Self(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
    return copy;
}

inline bool Put(HANDLE h, const std::string& text) {
    DWORD n = 0;
    return WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr) && n == text.size();
}

// What came, or "<failed N>" with the last error.
inline std::string Take(HANDLE h, DWORD count) {
    std::string buffer(count, '\0');
    DWORD n = 12345;
    if (!ReadFile(h, buffer.data(), count, &n, nullptr)) return "<failed " + std::to_string(GetLastError()) + ">";
    return buffer.substr(0, n);
}
