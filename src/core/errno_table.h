// A table that translates errno values into Win32 codes: rows sorted by errno value, checked at
// compile time, searched by bisection. GetLastError's table and the socket layer's use it.
#pragma once

#include <tarvex/base.h>

#include <cstddef>
#include <span>

namespace tarvex {

struct ErrnoCode {
    int error_number;
    DWORD code;
};

constexpr bool is_sorted_by_errno(std::span<const ErrnoCode> table) {
    for (size_t i = 1; i < table.size(); ++i)
        if (table[i - 1].error_number >= table[i].error_number) return false;
    return true;
}

// The row's code, or 0 when the value has no translation.
constexpr DWORD translate_errno(std::span<const ErrnoCode> table, int error_number) {
    size_t low = 0, high = table.size();
    while (low < high) {
        size_t mid = (low + high) / 2;
        if (table[mid].error_number < error_number)
            low = mid + 1;
        else
            high = mid;
    }
    return low < table.size() && table[low].error_number == error_number ? table[low].code : 0;
}

}  // namespace tarvex
