/* Threads and processes: threads, thread-local storage, child processes, process enumeration. */
#ifndef TARVEX_PROC_H
#define TARVEX_PROC_H

#include <tarvex/base.h>

TARVEX_EXTERN_C_BEGIN

/* ---- Threads: up to 1024 live threads started here ---- */

typedef DWORD(WINAPI *PTHREAD_START_ROUTINE)(LPVOID parameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

#define CREATE_SUSPENDED 0x00000004
#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15

TARVEX_API int InitThreads(void);
TARVEX_API void FreeAllThreads(void);
/* The id written through `thread_id` (may be null) is what GetCurrentThreadId returns in the
 * thread. The creation flags are not looked at: the thread starts at once. */
TARVEX_API HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, DWORD stack_size,
                               LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                               LPDWORD thread_id);
TARVEX_API void ExitThread(DWORD exit_code) __attribute__((noreturn));
/* Ends the thread as soon as it owns no critical section and holds no lock of the library; it
 * interrupts the thread with the real-time signal SIGRTMAX - 2, which the library reserves. */
TARVEX_API BOOL TerminateThread(HANDLE thread, DWORD exit_code);
TARVEX_API BOOL CloseThread(HANDLE thread);
TARVEX_API BOOL SetThreadPriority(HANDLE thread, int priority);
TARVEX_API HANDLE GetCurrentThread(void);
TARVEX_API DWORD GetCurrentThreadId(void);
TARVEX_API int InitialiseThreadCancelState(void);
TARVEX_API HANDLE GetCurrentProcess(void);
TARVEX_API DWORD GetCurrentProcessId(void);

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
