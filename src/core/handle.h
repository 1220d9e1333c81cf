// Handle encoding shared by every kind.
//
// A handle is an unsigned 32-bit value: the low five bits name the kind (the tag), the bits above
// locate the object (for all kinds but pipes, the record index: index * 32 + tag). In a HANDLE the
// value is sign-extended to pointer width, so INVALID_HANDLE_VALUE is all ones on every target and
// a handle round-trips through the host's pointer-sized variables unchanged.
#pragma once

#include <tarvex/base.h>

#include <cstdint>

namespace tarvex {

enum HandleTag : uint32_t {
    kTagSemaphore = 1,
    kTagEvent = 2,
    kTagMutex = 3,
    kTagProcess = 5,
    kTagThread = 6,
    kTagFile = 7,
    kTagFileMapping = 11,
    kTagPipe = 14,
    kTagReserved = 17,
    kTagFindFile = 18,
};

constexpr uint32_t kInvalidHandleValue = 0xFFFFFFFFu;

inline HANDLE to_handle(uint32_t value) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(static_cast<int32_t>(value)));
}

inline uint32_t handle_value(HANDLE handle) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}

constexpr uint32_t handle_tag(uint32_t value) { return value & 31u; }
constexpr uint32_t handle_index(uint32_t value) { return value >> 5; }
constexpr uint32_t make_handle_value(uint32_t index, uint32_t tag) { return (index << 5) | tag; }

inline HANDLE make_handle(uint32_t index, uint32_t tag) {
    return to_handle(make_handle_value(index, tag));
}

}  // namespace tarvex
