// The TLS index table as the library's own units use it (the socket layer keeps its per-thread
// error code in an index). These calls report through their results and leave the last error
// alone; only the exported Tls* functions set it.
//
// An index allocation carries a stamp, the record's allocation word at the time: a caller that
// passes its stamp back reaches the index only while that very allocation lives, so an owner
// whose index was freed under it (by the host's TlsFree or FreeAllTLSSlots) cannot read or write
// the values of whoever is given the index next. A stamp of 0 means "whichever allocation lives".
#pragma once

#include <cstdint>

namespace tarvex {

constexpr uint32_t kTlsIndexCount = 64;
constexpr uint32_t kTlsNoIndex = 0xFFFFFFFFu;

enum class TlsOutcome { kDone, kNotAllocated };

// The lowest free index, or kTlsNoIndex (logged); `stamp` receives the allocation's stamp.
uint32_t tls_allocate(uint32_t& stamp);
TlsOutcome tls_free(uint32_t index, uint32_t stamp);
// Values take no lock; each reaches only the calling thread's own values.
TlsOutcome tls_read(uint32_t index, uint32_t stamp, void*& value);
TlsOutcome tls_write(uint32_t index, uint32_t stamp, void* value);

}  // namespace tarvex
