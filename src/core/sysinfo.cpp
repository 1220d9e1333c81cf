// Environment, system information, socket start-up and pointer checks: small calls that answer
// from the process and the kernel and touch no object table and no log.
//
// Owns the socket layer's state (wsalock, the WSAInitialised flag, the TLS index WSAError with its
// allocation stamp) and WSAErrorTable. The per-thread socket error lives in that TLS index
// (proc/tls.h); every use passes the stamp, so after the index is freed under the socket layer
// (the host's TlsFree, FreeAllTLSSlots) the layer reaches nothing, not whoever gets the index next.
#include <tarvex/core.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <string_view>

#include "core/errno_table.h"
#include "core/lock.h"
#include "core/sysinfo.h"
#include "proc/tls.h"

static_assert(sizeof(WSADATA) == 400, "hosts reserve 400 bytes for it");

namespace tarvex {
namespace {

constexpr int kNotInitialised = 10093;

// The socket meanings; EALREADY is "would block" here (10035), unlike GetLastError's table.
constexpr ErrnoCode kWSAErrorTable[] = {
    {EAGAIN, 10035},       {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},     {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},       {ENETUNREACH, 10051},
    {ENETRESET, 10052},    {ECONNABORTED, 10053},    {ECONNRESET, 10054},
    {ENOBUFS, 10055},      {EISCONN, 10056},         {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},    {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061}, {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065},
    {EALREADY, 10035},     {EINPROGRESS, 10036},
};
static_assert(is_sorted_by_errno(kWSAErrorTable), "searched by bisection");
static_assert(std::size(kWSAErrorTable) == 29, "one row per socket errno value");

// Written under wsalock; read without it by WSAGetLastError and WSASetLastError, which a host
// calls after WSAStartup has returned. A torn pair of index and stamp names no live allocation.
constinit TableLock wsalock;
int WSAInitialised = 0;
uint32_t WSAError = kTlsNoIndex;
uint32_t g_wsa_stamp = 0;

template <class T>
T peek(const T& value) { return __atomic_load_n(&value, __ATOMIC_ACQUIRE); }
template <class T>
void put(T& target, T value) { __atomic_store_n(&target, value, __ATOMIC_RELEASE); }

bool index_is_ours() {
    void* ignored;
    return tls_read(peek(WSAError), peek(g_wsa_stamp), ignored) == TlsOutcome::kDone;
}

// The scheme the three name calls share: `text` (may be null) into `buffer` of `*size` bytes,
// cut to fit; TRUE only if all of it fitted; `*size` becomes the length now in the buffer. A
// size of 0 leaves the buffer untouched: it has no byte for even the terminator.
BOOL copy_name(const char* text, LPSTR buffer, LPDWORD size) {
    if (buffer == nullptr || size == nullptr) return FALSE;
    DWORD capacity = *size;
    if (capacity == 0) return FALSE;
    size_t length = text == nullptr ? 0 : strlen(text);
    size_t kept = length < capacity ? length : capacity - 1;
    memcpy(buffer, text == nullptr ? "" : text, kept);
    buffer[kept] = '\0';
    *size = static_cast<DWORD>(kept);
    return text != nullptr && length < capacity ? TRUE : FALSE;
}

BOOL from_uname(char (utsname::*field)[65], LPSTR buffer, LPDWORD size) {
    struct utsname names;
    return copy_name(uname(&names) == 0 ? names.*field : nullptr, buffer, size);
}

BOOL is_low(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer) <= 0xFFFF ? TRUE : FALSE; }

}  // namespace
}  // namespace tarvex

using namespace tarvex;

extern "C" {

// The current environment, including variables set since start-up; it ends at the first empty
// string, which would otherwise end the block early for its reader.
TARVEX_API LPSTR GetEnvironmentStrings(void) {
    if (environ == nullptr || environ[0] == nullptr || environ[0][0] == '\0') return nullptr;
    size_t total = 0;
    for (char** entry = environ; *entry != nullptr && (*entry)[0] != '\0'; ++entry)
        total += strlen(*entry) + 1;
    char* block = static_cast<char*>(malloc(total + 1));
    if (block == nullptr) return nullptr;
    char* end = block;
    for (char** entry = environ; *entry != nullptr && (*entry)[0] != '\0'; ++entry) {
        size_t length = strlen(*entry) + 1;
        if (static_cast<size_t>(end - block) + length > total) break;  // changed under us
        memcpy(end, *entry, length);
        end += length;
    }
    *end = '\0';
    return block;
}

TARVEX_API BOOL FreeEnvironmentStringsA(LPSTR block) {
    if (block == nullptr) return FALSE;
    free(block);
    return TRUE;
}

TARVEX_API DWORD GetEnvironmentVariableA(LPCSTR, LPSTR, DWORD) { return 0; }
TARVEX_API BOOL SetEnvironmentVariableA(LPCSTR, LPCSTR) { return FALSE; }

TARVEX_API DWORD GetVersion(void) {
    struct utsname names;
    return uname(&names) == 0 ? version_from_release(names.release) : 0;
}

TARVEX_API BOOL GetUserNameA(LPSTR buffer, LPDWORD size) { return copy_name(getenv("LOGNAME"), buffer, size); }
TARVEX_API BOOL GetComputerNameA(LPSTR buffer, LPDWORD size) { return from_uname(&utsname::nodename, buffer, size); }
TARVEX_API BOOL GetProcessorType(LPSTR buffer, LPDWORD size) { return from_uname(&utsname::machine, buffer, size); }

// A null record is refused (1) before anything changes. A repeated call keeps the record's other
// bytes and only stores the version, unless the layer's index was freed under it, in which case
// it takes a new one.
TARVEX_API int WSAStartup(WORD version, LPWSADATA data) {
    if (data == nullptr) return 1;
    return with_lock(wsalock, [&]() -> int {
        bool started = WSAInitialised != 0;
        if (!started) memset(data, 0, sizeof *data);
        if (!started || !index_is_ours()) {
            uint32_t stamp = 0;
            uint32_t index = tls_allocate(stamp);
            if (index == kTlsNoIndex) return 1;
            put(WSAError, index);
            put(g_wsa_stamp, stamp);
        }
        data->wVersion = version;
        put(WSAInitialised, 1);
        return 0;
    });
}

TARVEX_API int WSACleanup(void) {
    return with_lock(wsalock, [&]() -> int {
        if (!WSAInitialised) return 1;
        tls_free(WSAError, g_wsa_stamp);  // a stamp that no longer matches frees nothing
        put(WSAInitialised, 0);
        put(WSAError, kTlsNoIndex);
        put(g_wsa_stamp, 0u);
        return 0;
    });
}

TARVEX_API int WSAGetLastError(void) {
    if (!peek(WSAInitialised)) return kNotInitialised;
    int pending = errno;
    if (pending == 0) {
        void* stored = nullptr;
        tls_read(peek(WSAError), peek(g_wsa_stamp), stored);
        return static_cast<int>(reinterpret_cast<uintptr_t>(stored));
    }
    DWORD code = translate_errno(kWSAErrorTable, pending);
    if (code == 0) return pending;
    errno = 0;
    return static_cast<int>(code);
}

TARVEX_API void WSASetLastError(int code) {
    if (!peek(WSAInitialised)) return;
    tls_write(peek(WSAError), peek(g_wsa_stamp),
              reinterpret_cast<void*>(static_cast<uintptr_t>(static_cast<uint32_t>(code))));
}

TARVEX_API BOOL IsBadReadPtr(const void* pointer, UINT_PTR) { return is_low(pointer); }
TARVEX_API BOOL IsBadWritePtr(LPVOID pointer, UINT_PTR) { return is_low(pointer); }
TARVEX_API BOOL IsBadCodePtr(int (*code)(void)) { return is_low(reinterpret_cast<const void*>(code)); }
TARVEX_API BOOL IsBadStringPtrA(LPCSTR text, UINT_PTR) { return is_low(text); }

}  // extern "C"
