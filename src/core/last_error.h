// The calling thread's stored last error, for the library's own hot paths (a TLS read sets it on
// every call). SetLastError is this, exported; core/error_nt.cpp owns the translation.
#pragma once

#include <errno.h>

#include <cstdint>

#include <tarvex/base.h>

namespace tarvex {

// Initial-exec: the library is linked by its hosts, not loaded late, and this keeps every
// Get/SetLastError a plain thread-pointer access instead of a call to the TLS resolver. The code
// and errno's address share one record, so a call finds both from one offset.
struct LastError {
    DWORD code;
    // errno's address is fixed for the life of a thread (and kept by a forked child's only
    // thread), so it is asked for once per thread instead of on every call.
    int* errno_address;
    // The thread's TLS values (proc/tls.cpp) live in the same record: TlsGetValue reads a value
    // and sets the last error on every call, and one record is one thread-pointer offset to load.
    struct TlsEntry {
        void* value;
        uint32_t stored_under;  // the index's allocation word the value was stored under
    } tls[64];
};
inline thread_local LastError t_last_error __attribute__((tls_model("initial-exec"))) = {};

template <class Result>
__attribute__((noinline, cold)) Result first_last_error(Result result, DWORD code) {
    t_last_error.errno_address = &errno;
    *t_last_error.errno_address = 0;
    t_last_error.code = code;
    return result;
}

// Stores `code` as the calling thread's last error and returns `result`: a hot path ends in it,
// so that the once-per-thread look-up of errno's address is a tail call and the path itself makes
// none. Clearing errno is what makes the stored code the one GetLastError sees.
template <class Result>
inline Result return_with_last_error(Result result, DWORD code) {
    int* address = t_last_error.errno_address;
    if (__builtin_expect(address == nullptr, 0)) return first_last_error(result, code);
    *address = 0;
    t_last_error.code = code;
    return result;
}

inline void set_last_error(DWORD code) { return_with_last_error(0, code); }

}  // namespace tarvex
