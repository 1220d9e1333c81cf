/* Time: Win32 time representations, their conversions, the clock and Sleep. */
#ifndef TARVEX_TIME_H
#define TARVEX_TIME_H

#include <tarvex/base.h>

#include <time.h>

TARVEX_EXTERN_C_BEGIN

typedef struct _TIME_ZONE_INFORMATION TIME_ZONE_INFORMATION, *LPTIME_ZONE_INFORMATION;

TARVEX_API void UnixToNT(time_t unix_time, LPFILETIME file_time);
TARVEX_API void NTToUnix(const FILETIME *file_time, time_t *unix_time);
TARVEX_API LONG CompareFileTime(const FILETIME *first, const FILETIME *second);
TARVEX_API BOOL FileTimeToSystemTime(const FILETIME *file_time, LPSYSTEMTIME system_time);
TARVEX_API BOOL SystemTimeToFileTime(const SYSTEMTIME *system_time, LPFILETIME file_time);
TARVEX_API BOOL FileTimeToDosDateTime(const FILETIME *file_time, LPWORD dos_date, LPWORD dos_time);
TARVEX_API BOOL DosDateTimeToFileTime(WORD dos_date, WORD dos_time, LPFILETIME file_time);
TARVEX_API BOOL FileTimeToLocalFileTime(const FILETIME *utc, LPFILETIME local);
TARVEX_API BOOL LocalFileTimeToFileTime(const FILETIME *local, LPFILETIME utc);
TARVEX_API void GetSystemTime(LPSYSTEMTIME system_time);
TARVEX_API void GetLocalTime(LPSYSTEMTIME system_time);
TARVEX_API void GetSystemTimeAsFileTime(LPFILETIME file_time);
TARVEX_API DWORD GetTickCount(void);
TARVEX_API void Sleep(DWORD milliseconds);
TARVEX_API BOOL SetSystemTime(const SYSTEMTIME *system_time);
TARVEX_API BOOL SetLocalTime(const SYSTEMTIME *system_time);
TARVEX_API BOOL SetSystemTimeAdjustment(DWORD adjustment, BOOL disabled);
TARVEX_API BOOL GetSystemTimeAdjustment(PDWORD adjustment, PDWORD increment, PBOOL disabled);
TARVEX_API BOOL SystemTimeToTzSpecificLocalTime(LPTIME_ZONE_INFORMATION zone,
                                                const SYSTEMTIME *utc, LPSYSTEMTIME local);

TARVEX_EXTERN_C_END

#endif
