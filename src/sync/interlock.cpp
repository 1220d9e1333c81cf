// Interlocked operations on a caller's 32-bit variable.
//
// No state of its own: each operation is one sequentially consistent atomic instruction of the
// processor on the caller's LONG. That makes the operations atomic against each other, against
// the host's own atomic instructions on the same variable and against threads of other processes
// that share the memory, and it leaves unrelated counters independent of each other.
//
// The arithmetic is done on the unsigned view of the variable so that it wraps at 32 bits
// without signed overflow; reading a signed LONG through an unsigned pointer of the same width
// is allowed by the aliasing rules, and the conversion back is modular.
#include <tarvex/sync.h>

#include <stdint.h>

namespace tarvex {
namespace {

static_assert(sizeof(LONG) == sizeof(uint32_t));

volatile uint32_t* unsigned_view(LONG volatile* variable) {
    return reinterpret_cast<volatile uint32_t*>(variable);
}

LONG add_and_fetch(LONG volatile* variable, uint32_t addend) {
    return static_cast<LONG>(__atomic_add_fetch(unsigned_view(variable), addend, __ATOMIC_SEQ_CST));
}

}  // namespace
}  // namespace tarvex

extern "C" {

// A null variable gives 0 and touches nothing, the same for all four.

TARVEX_API LONG InterlockedIncrement(LONG volatile* addend) {
    if (addend == nullptr) return 0;
    return tarvex::add_and_fetch(addend, 1u);
}

TARVEX_API LONG InterlockedDecrement(LONG volatile* addend) {
    if (addend == nullptr) return 0;
    return tarvex::add_and_fetch(addend, ~0u);
}

TARVEX_API LONG InterlockedExchange(LONG volatile* target, LONG value) {
    if (target == nullptr) return 0;
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

TARVEX_API LONG InterlockedExchangeAdd(LONG volatile* addend, LONG value) {
    if (addend == nullptr) return 0;
    return static_cast<LONG>(__atomic_fetch_add(tarvex::unsigned_view(addend),
                                                static_cast<uint32_t>(value), __ATOMIC_SEQ_CST));
}

}  // extern "C"
