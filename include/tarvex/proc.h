/* Threads and processes: threads, thread-local storage, child processes, process enumeration. */
#ifndef TARVEX_PROC_H
#define TARVEX_PROC_H

#include <tarvex/base.h>

#include <signal.h>

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

/* ---- Child processes ----
 * A process handle is index * 32 + 5. The child's exit code is known once a wait has seen it end
 * or TerminateProcess has ended it; until then GetExitCodeProcess reports FALSE. */

#define STARTF_USESTDHANDLES 0x00000100u
#define ERROR_PARTIAL_COPY 299L

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *PPROCESS_INFORMATION, *LPPROCESS_INFORMATION;

TARVEX_API int InitProcesses(void);
TARVEX_API void FreeAllProcesses(void);
TARVEX_API BOOL CreateProcessA(LPCSTR application_name, LPSTR command_line,
                               LPSECURITY_ATTRIBUTES process_attributes,
                               LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles,
                               DWORD creation_flags, LPVOID environment,
                               LPCSTR current_directory, LPSTARTUPINFOA startup_info,
                               LPPROCESS_INFORMATION process_information);
TARVEX_API BOOL TerminateProcess(HANDLE process, UINT exit_code);
TARVEX_API BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code);
TARVEX_API DWORD WaitForProcess(HANDLE process, DWORD milliseconds);
TARVEX_API BOOL CloseProcess(HANDLE process);
TARVEX_API void SigChldHandler(int signo, siginfo_t *info, void *context);
TARVEX_API BOOL ReadProcessMemory(HANDLE process, LPCVOID base, LPVOID buffer, SIZE_T size,
                                  SIZE_T *bytes_read);
TARVEX_API HMODULE GetModuleHandleA(LPCSTR module_name);

/* ---- Process enumeration and module names, from /proc ----
 * A process is named by its process identifier (what GetCurrentProcess returns) where Win32
 * passes a process handle; the module is always the process's program. EnumProcesses counts in
 * entries, not bytes, and reports every process in *count even when fewer fitted. */

TARVEX_API DWORD GetModuleFileNameExA(HANDLE process, HMODULE module, LPSTR buffer, DWORD size);
TARVEX_API DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
TARVEX_API DWORD GetModuleBaseNameA(HANDLE process, HMODULE module, LPSTR buffer, DWORD size);
TARVEX_API DWORD GetProcessCount(LPDWORD count);
TARVEX_API BOOL EnumProcesses(DWORD *process_ids, DWORD capacity, LPDWORD count);

TARVEX_EXTERN_C_END

#endif
