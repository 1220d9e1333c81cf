/* Threads and processes: threads, thread-local storage, child processes, process enumeration. */
#ifndef TARVEX_PROC_H
#define TARVEX_PROC_H

#include <tarvex/base.h>

TARVEX_EXTERN_C_BEGIN

/* ---- Thread-local storage: 64 indexes ---- */

#define TLS_OUT_OF_INDEXES 0xFFFFFFFFu

TARVEX_API int InitTLSSlots(void);
TARVEX_API void FreeAllTLSSlots(void);
TARVEX_API DWORD TlsAlloc(void);
TARVEX_API BOOL TlsFree(DWORD index);
TARVEX_API LPVOID TlsGetValue(DWORD index);
TARVEX_API BOOL TlsSetValue(DWORD index, LPVOID value);

TARVEX_EXTERN_C_END

#endif
