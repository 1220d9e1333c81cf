/* Synchronisation objects: critical sections, interlocked operations, events, mutexes,
 * semaphores. */
#ifndef TARVEX_SYNC_H
#define TARVEX_SYNC_H

#include <tarvex/base.h>

#include <pthread.h>

TARVEX_EXTERN_C_BEGIN

/* ---- Critical sections and interlocked operations ---- */

/* Memory owned by the caller. The first five fields are the section's documented state; the
 * rest is the library's own bookkeeping: blocked threads, and the thread the section is reserved
 * for while only that thread has used it. */
typedef struct _CRITICAL_SECTION {
    pthread_mutex_t lock;
    pthread_cond_t freeSignal;
    DWORD count;
    LONG locked;
    pthread_t owner;
    LONG waiters;
    LONG reservedHeld;
    LONG revoked;
    pthread_t reservedFor;
} CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION;

TARVEX_API void InitializeCriticalSection(LPCRITICAL_SECTION section);
TARVEX_API void DeleteCriticalSection(LPCRITICAL_SECTION section);
TARVEX_API void EnterCriticalSection(LPCRITICAL_SECTION section);
TARVEX_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);
TARVEX_API void LeaveCriticalSection(LPCRITICAL_SECTION section);

TARVEX_API LONG InterlockedIncrement(LONG volatile *addend);
TARVEX_API LONG InterlockedDecrement(LONG volatile *addend);
TARVEX_API LONG InterlockedExchange(LONG volatile *target, LONG value);
TARVEX_API LONG InterlockedExchangeAdd(LONG volatile *addend, LONG value);

/* ---- Events ---- */

/* An event record. The table's records are reached through handles; the *In operations work on a
 * record directly. The fields after `references` are the library's bookkeeping of waiters and of
 * the primitives a record keeps between events. A record is live while `inUse` is 1 and
 * `references` is above 0. */
typedef struct _EVENT_RECORD {
    char *name;
    pthread_mutex_t lock;
    pthread_cond_t wake;
    LONG manualReset;
    LONG state;
    LONG inUse;
    LONG nameOwned;
    LONG references;
    DWORD generation;
    DWORD tokens;
    DWORD waiters;
    LONG primitivesReady;
} EVENT_RECORD;

TARVEX_API int InitEvents(DWORD count);
TARVEX_API void FreeAllEvents(void);
TARVEX_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset,
                               BOOL initial_state, LPCSTR name);
TARVEX_API HANDLE OpenEventA(DWORD desired_access, BOOL inherit, LPCSTR name);
TARVEX_API BOOL SetEvent(HANDLE event);
TARVEX_API BOOL ResetEvent(HANDLE event);
TARVEX_API BOOL PulseEvent(HANDLE event);
TARVEX_API DWORD WaitForEvent(HANDLE event, DWORD milliseconds);
TARVEX_API BOOL CloseEvent(HANDLE event);
TARVEX_API EVENT_RECORD *CreateEventIn(EVENT_RECORD *record, BOOL manual_reset,
                                       BOOL initial_state, LPCSTR name, BOOL copy_name,
                                       BOOL explicit_attributes);
TARVEX_API BOOL SetEventIn(EVENT_RECORD *record);
TARVEX_API BOOL ResetEventIn(EVENT_RECORD *record);
TARVEX_API BOOL PulseEventIn(EVENT_RECORD *record);
TARVEX_API DWORD WaitForEventIn(EVENT_RECORD *record, DWORD milliseconds);
TARVEX_API BOOL CloseEventIn(EVENT_RECORD *record);

/* ---- Mutexes ---- */

/* A named mutex is shared by the processes of the suite on the machine: it is a lock file in the
 * tmp directory of the installation's base directory, and a name containing '/' is refused. */
TARVEX_API int InitMutexes(int count);
TARVEX_API void FreeAllMutexes(void);
TARVEX_API HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initial_owner, LPCSTR name);
TARVEX_API HANDLE OpenMutexA(DWORD desired_access, BOOL inherit, LPCSTR name);
TARVEX_API BOOL ReleaseMutex(HANDLE mutex);
TARVEX_API DWORD WaitForMutex(HANDLE mutex, DWORD milliseconds);
TARVEX_API BOOL CloseMutex(HANDLE mutex);

/* ---- Semaphores ---- */

TARVEX_API int InitSemaphores(void);
TARVEX_API void FreeAllSemaphores(void);
TARVEX_API HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES attributes, LONG initial_count,
                                   LONG maximum_count, LPCSTR name);
TARVEX_API HANDLE OpenSemaphoreA(DWORD desired_access, BOOL inherit, LPCSTR name);
TARVEX_API BOOL ReleaseSemaphore(HANDLE semaphore, LONG release_count, LPLONG previous_count);
TARVEX_API DWORD WaitForSemaphore(HANDLE semaphore, DWORD milliseconds);
TARVEX_API BOOL CloseSemaphore(HANDLE semaphore);

TARVEX_EXTERN_C_END

#endif
