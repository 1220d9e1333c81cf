/* Time: Win32 time representations, their conversions, the clock and Sleep. */
#ifndef TARVEX_TIME_H
#define TARVEX_TIME_H

#include <tarvex/base.h>

#include <time.h>

TARVEX_EXTERN_C_BEGIN

/* Names are single-byte strings here, terminated, not wide ones. In both dates only wMonth,
 * wDayOfWeek, wDay (week of the month, 5 the last) and wHour are set. */
typedef struct _TIME_ZONE_INFORMATION {
    LONG Bias; /* minutes west of UTC, standard time */
    CHAR StandardName[32];
    SYSTEMTIME StandardDate;
    LONG StandardBias;
    CHAR DaylightName[32];
    SYSTEMTIME DaylightDate;
    LONG DaylightBias;
} TIME_ZONE_INFORMATION, *PTIME_ZONE_INFORMATION, *LPTIME_ZONE_INFORMATION;

#define TIME_ZONE_ID_UNKNOWN 0u
#define TIME_ZONE_ID_STANDARD 1u
#define TIME_ZONE_ID_DAYLIGHT 2u
#define TIME_ZONE_ID_INVALID 0xFFFFFFFFu

/* A transition date of the zone table: month, weekday, week of the month (5: last), hour. */
typedef struct _TIME_ZONE_DATE {
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
} TIME_ZONE_DATE;

/* One zone of TimeZoneTable, known by its abbreviations and bias in the years it covers
 * (-1: no bound). The table ends with a row whose StandardAbbreviation is null. */
typedef struct _TIME_ZONE_TABLE_ENTRY {
    int FirstYear;
    int LastYear;
    const char *StandardAbbreviation;
    const char *DaylightAbbreviation;
    int Bias;
    const char *StandardName;
    TIME_ZONE_DATE StandardDate;
    SHORT StandardBias;
    const char *DaylightName;
    TIME_ZONE_DATE DaylightDate;
    SHORT DaylightBias;
} TIME_ZONE_TABLE_ENTRY;

TARVEX_API extern const TIME_ZONE_TABLE_ENTRY TimeZoneTable[];

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

TARVEX_API DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION zone);
TARVEX_API BOOL SetTimeZoneInformation(const TIME_ZONE_INFORMATION *zone);

TARVEX_EXTERN_C_END

#endif
