// Sequentially consistent loads and stores on plain fields that several threads reach
// without a common lock (in-use flags, reference counts, use slots). Sequential consistency is what
// the store-then-load handshakes between an operation and a closer rely on.
#pragma once

namespace tarvex {

template <class T>
T load(const T& value) {
    return __atomic_load_n(&value, __ATOMIC_SEQ_CST);
}

template <class T>
void store(T& target, T value) {
    __atomic_store_n(&target, value, __ATOMIC_SEQ_CST);
}

}  // namespace tarvex
