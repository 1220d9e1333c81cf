/* Modules and resources: dynamic libraries, the event log, version resources. */
#ifndef TARVEX_MODULE_H
#define TARVEX_MODULE_H

#include <tarvex/base.h>

TARVEX_EXTERN_C_BEGIN

/* Dynamic libraries. A module that exports "DllMain" (an LPDLL_ENTRY) has it called with these
 * reasons: first load, further load, a free that leaves loads, last free. */
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

typedef int (*FARPROC)(void);
typedef BOOL (*LPDLL_ENTRY)(HMODULE module, DWORD reason, LPVOID reserved);

TARVEX_API int InitLibraries(void);
TARVEX_API HMODULE LoadLibraryA(LPCSTR path);
TARVEX_API BOOL FreeLibrary(HMODULE module);
TARVEX_API FARPROC GetProcAddress(HMODULE module, LPCSTR name);
TARVEX_API BOOL FreeAllLibraries(void);

/* Event log, on the system log. */
#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004
#define EVENTLOG_AUDIT_SUCCESS 0x0008
#define EVENTLOG_AUDIT_FAILURE 0x0010

typedef void *PSID;

TARVEX_API HANDLE RegisterEventSourceA(LPCSTR server, LPCSTR source);
TARVEX_API BOOL ReportEventA(HANDLE event_log, WORD type, WORD category, DWORD event_id, PSID user,
                             WORD string_count, DWORD data_size, LPCSTR *strings, LPVOID data);
TARVEX_API BOOL DeregisterEventSource(HANDLE event_log);

/* Version resources. */
typedef struct tagVS_FIXEDFILEINFO {
    DWORD dwSignature; /* 0xFEEF04BD */
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
} VS_FIXEDFILEINFO;

/* GetFileVersionInfoSizeA reports the room GetFileVersionInfoA needs: twice the block's length, the
 * second half holding the single-byte copies that VerQueryValueA returns for string values. */
TARVEX_API DWORD GetFileVersionInfoSizeA(LPCSTR path, LPDWORD handle);
TARVEX_API BOOL GetFileVersionInfoA(LPCSTR path, DWORD handle, DWORD length, LPVOID buffer);
TARVEX_API BOOL VerQueryValueA(LPCVOID block, LPCSTR query, LPVOID *value, UINT *length);

TARVEX_EXTERN_C_END

#endif
