// Win32 time representations and their conversions, the clock, the tick counter and Sleep.
//
// Owns no state: every function works on its arguments and the system clocks, so all of them are
// re-entrant. Calls the runtime core for SetLastError and for the EINTR-proof Nanosleep (the
// library's SIGCHLD handler interrupts sleeps at any time).
//
// A FILETIME counts 100-nanosecond units since 1601-01-01 UTC in 64 bits, of which only the
// non-negative half is a valid time (years 1601 to 30828). time_t is 64 bits on every target, so
// every date in that range converts both ways; a conversion whose result falls outside it fails
// with ERROR_INVALID_DATA and leaves the output as it was, never wrapping into a plausible but
// wrong time.
#include <tarvex/core.h>
#include <tarvex/time.h>

#include <limits.h>
#include <stdint.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace tarvex {
namespace {

constexpr int64_t kEpochDifferenceSeconds = 11644473600;  // 1601-01-01 to 1970-01-01
constexpr int64_t kUnitsPerSecond = 10000000;
constexpr int64_t kUnitsPerMillisecond = 10000;
constexpr int64_t kUnitsPerMinute = 60 * kUnitsPerSecond;

static_assert(sizeof(time_t) == 8, "the conversions assume a 64-bit time_t on every target");
static_assert(sizeof(FILETIME) == 8 && sizeof(SYSTEMTIME) == 16, "records the host lays out");

// Largest system time whose file time still has its sign bit clear.
constexpr int64_t kLastUnixSecond = INT64_MAX / kUnitsPerSecond - kEpochDifferenceSeconds;
constexpr int64_t kFirstUnixSecond = -kEpochDifferenceSeconds;

uint64_t file_time_value(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void store_file_time(uint64_t value, FILETIME* ft) {
    ft->dwLowDateTime = static_cast<DWORD>(value);
    ft->dwHighDateTime = static_cast<DWORD>(value >> 32);
}

bool is_valid_file_time(uint64_t value) { return value <= static_cast<uint64_t>(INT64_MAX); }

// Seconds since 1970 to a file time; false when the second lies outside 1601..30828.
bool unix_to_file_time(int64_t seconds, uint64_t* value) {
    if (seconds < kFirstUnixSecond || seconds > kLastUnixSecond) return false;
    *value = static_cast<uint64_t>(seconds + kEpochDifferenceSeconds) * kUnitsPerSecond;
    return true;
}

// Whole seconds since 1970; sub-second units are dropped, as a system time cannot hold them.
int64_t file_time_to_unix(uint64_t value) {
    return static_cast<int64_t>(value / kUnitsPerSecond) - kEpochDifferenceSeconds;
}

// timegm reports overflow as -1, which is also the honest answer for 1969-12-31 23:59:59; the
// normalised fields tell the two apart.
bool utc_calendar_to_unix(struct tm* fields, int64_t* seconds) {
    time_t t = timegm(fields);
    if (t == static_cast<time_t>(-1) &&
        !(fields->tm_year == 69 && fields->tm_mon == 11 && fields->tm_mday == 31 &&
          fields->tm_hour == 23 && fields->tm_min == 59 && fields->tm_sec == 59))
        return false;
    *seconds = t;
    return true;
}

bool calendar_to_system_time(const struct tm& fields, WORD milliseconds, SYSTEMTIME* st) {
    long year = fields.tm_year + 1900L;
    if (year < 0 || year > 0xFFFF) return false;
    st->wYear = static_cast<WORD>(year);
    st->wMonth = static_cast<WORD>(fields.tm_mon + 1);
    st->wDayOfWeek = static_cast<WORD>(fields.tm_wday);
    st->wDay = static_cast<WORD>(fields.tm_mday);
    st->wHour = static_cast<WORD>(fields.tm_hour);
    st->wMinute = static_cast<WORD>(fields.tm_min);
    st->wSecond = static_cast<WORD>(fields.tm_sec);
    st->wMilliseconds = milliseconds;
    return true;
}

// Minutes west of Greenwich for the local/UTC file-time pair. These two functions follow the zone
// field that ftime() reports, not the process's TZ rules (those belong to the time-zone functions
// and vary with the date). The C library has filled that field with 0 ever since ftime became a
// thin layer over clock_gettime, and ftime itself is deprecated, so the offset is 0 and the pair
// returns its input unchanged. The arithmetic stays general: another source of the offset would
// change only this function.
constexpr int64_t local_zone_minutes_west() { return 0; }

bool shift_file_time(const FILETIME* in, int64_t delta_units, FILETIME* out) {
    if (in == nullptr || out == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    uint64_t value = file_time_value(*in);
    int64_t shifted;
    if (!is_valid_file_time(value) ||
        __builtin_add_overflow(static_cast<int64_t>(value), delta_units, &shifted) || shifted < 0) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    store_file_time(static_cast<uint64_t>(shifted), out);
    return true;
}

// The current time in seconds and milliseconds; what ftime() delivered before it was retired.
void current_time(int64_t* seconds, WORD* milliseconds) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    *seconds = now.tv_sec;
    *milliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

void broken_down_now(LPSYSTEMTIME st, struct tm* (*breakdown)(const time_t*, struct tm*)) {
    if (st == nullptr) return;
    int64_t seconds;
    WORD milliseconds;
    current_time(&seconds, &milliseconds);
    time_t t = seconds;
    struct tm fields;
    SYSTEMTIME result;
    if (breakdown(&t, &fields) == nullptr || !calendar_to_system_time(fields, milliseconds, &result))
        return;
    *st = result;
}

// A UTC calendar time as a file time; fails with ERROR_INVALID_DATA (output untouched) when it
// has no file time.
BOOL calendar_to_file_time(struct tm* fields, FILETIME* file_time) {
    int64_t seconds;
    uint64_t value;
    if (!utc_calendar_to_unix(fields, &seconds) || !unix_to_file_time(seconds, &value)) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    store_file_time(value, file_time);
    return TRUE;
}

}  // namespace
}  // namespace tarvex

using namespace tarvex;

extern "C" {

// The widened arithmetic cannot report failure through the result; a time outside what a file
// time can express leaves the output untouched and says so in the last error.
TARVEX_API void UnixToNT(time_t unix_time, LPFILETIME file_time) {
    if (file_time == nullptr) return;
    uint64_t value;
    if (!unix_to_file_time(unix_time, &value)) {
        SetLastError(ERROR_INVALID_DATA);
        return;
    }
    store_file_time(value, file_time);
}

// Every 64-bit file time, taken as unsigned, has a 64-bit system time.
TARVEX_API void NTToUnix(const FILETIME* file_time, time_t* unix_time) {
    if (file_time == nullptr || unix_time == nullptr) return;
    *unix_time = file_time_to_unix(file_time_value(*file_time));
}

TARVEX_API LONG CompareFileTime(const FILETIME* first, const FILETIME* second) {
    if (first == nullptr || second == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (first->dwHighDateTime != second->dwHighDateTime)
        return first->dwHighDateTime < second->dwHighDateTime ? -1 : 1;
    if (first->dwLowDateTime != second->dwLowDateTime)
        return first->dwLowDateTime < second->dwLowDateTime ? -1 : 1;
    return 0;
}

TARVEX_API BOOL FileTimeToSystemTime(const FILETIME* file_time, LPSYSTEMTIME system_time) {
    if (file_time == nullptr || system_time == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint64_t value = file_time_value(*file_time);
    if (!is_valid_file_time(value)) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    time_t seconds = file_time_to_unix(value);
    struct tm fields;
    SYSTEMTIME result;
    WORD milliseconds = static_cast<WORD>((value / kUnitsPerMillisecond) % 1000);
    if (gmtime_r(&seconds, &fields) == nullptr ||
        !calendar_to_system_time(fields, milliseconds, &result)) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    *system_time = result;
    return TRUE;
}

// Day of week and milliseconds are ignored, so the result is always a whole second. Fields out
// of their range carry over into the next larger one (month 13 is January of the next year).
TARVEX_API BOOL SystemTimeToFileTime(const SYSTEMTIME* system_time, LPFILETIME file_time) {
    if (system_time == nullptr || file_time == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct tm fields = {};
    fields.tm_year = system_time->wYear - 1900;
    fields.tm_mon = system_time->wMonth - 1;
    fields.tm_mday = system_time->wDay;
    fields.tm_hour = system_time->wHour;
    fields.tm_min = system_time->wMinute;
    fields.tm_sec = system_time->wSecond;
    return calendar_to_file_time(&fields, file_time);
}

// The DOS fields are packed from the UTC breakdown as they are, masked to their widths: a year
// outside 1980..2107 gives a date that decodes to another year, which callers that store DOS
// dates accept. A file time that has no breakdown at all fails instead of packing garbage.
TARVEX_API BOOL FileTimeToDosDateTime(const FILETIME* file_time, LPWORD dos_date, LPWORD dos_time) {
    if (file_time == nullptr || dos_date == nullptr || dos_time == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(file_time, &st)) return FALSE;
    unsigned years = static_cast<unsigned>(st.wYear - 1980);
    *dos_date = static_cast<WORD>((years << 9) | ((st.wMonth & 15u) << 5) | (st.wDay & 31u));
    *dos_time = static_cast<WORD>(((st.wHour & 31u) << 11) | ((st.wMinute & 63u) << 5) |
                                  ((st.wSecond >> 1) & 31u));
    return TRUE;
}

// Every DOS date (1980 to 2107) has a file time now that time_t is 64 bits wide; the checks
// below guard the arithmetic, not a calendar limit.
TARVEX_API BOOL DosDateTimeToFileTime(WORD dos_date, WORD dos_time, LPFILETIME file_time) {
    if (file_time == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct tm fields = {};
    fields.tm_year = ((dos_date >> 9) & 0x7F) + 80;
    fields.tm_mon = ((dos_date >> 5) & 15) - 1;
    fields.tm_mday = dos_date & 31;
    fields.tm_hour = (dos_time >> 11) & 31;
    fields.tm_min = (dos_time >> 5) & 63;
    fields.tm_sec = (dos_time & 31) * 2;
    return calendar_to_file_time(&fields, file_time);
}

TARVEX_API BOOL FileTimeToLocalFileTime(const FILETIME* utc, LPFILETIME local) {
    return shift_file_time(utc, -local_zone_minutes_west() * kUnitsPerMinute, local);
}

TARVEX_API BOOL LocalFileTimeToFileTime(const FILETIME* local, LPFILETIME utc) {
    return shift_file_time(local, local_zone_minutes_west() * kUnitsPerMinute, utc);
}

TARVEX_API void GetSystemTime(LPSYSTEMTIME system_time) {
    broken_down_now(system_time, gmtime_r);
}

TARVEX_API void GetLocalTime(LPSYSTEMTIME system_time) {
    broken_down_now(system_time, localtime_r);
}

// Whole seconds, like a SYSTEMTIME passed through SystemTimeToFileTime: callers compare these
// with file times that came from the same conversion.
TARVEX_API void GetSystemTimeAsFileTime(LPFILETIME file_time) {
    if (file_time == nullptr) return;
    int64_t seconds;
    WORD milliseconds;
    current_time(&seconds, &milliseconds);
    uint64_t value;
    if (unix_to_file_time(seconds, &value)) store_file_time(value, file_time);
}

// Milliseconds since a fixed point shared by every process (system start), wrapping modulo 2^32.
// The monotonic clock gives that directly, in 64 bits and to the millisecond. The process-time
// tick counter (times) counts the same thing in coarser ticks, but its clock_t is 32 bits on
// i386 and wraps after 2^32 ticks at a point that is not a multiple of 2^32 milliseconds, which
// would make the count jump; nor can its result be told apart from an error.
TARVEX_API DWORD GetTickCount(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u +
                  static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);
}

// INFINITE is an ordinary count here (about 49.7 days), never an endless sleep. The interval is
// split into seconds and nanoseconds because nanosleep refuses a nanosecond part of a second or
// more.
TARVEX_API void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) return;
    struct timespec interval;
    interval.tv_sec = milliseconds / 1000;
    interval.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    Nanosleep(&interval, nullptr);
}

// The library never changes the machine's clock or its rate.
TARVEX_API BOOL SetSystemTime(const SYSTEMTIME*) { return FALSE; }

TARVEX_API BOOL SetLocalTime(const SYSTEMTIME*) { return FALSE; }

TARVEX_API BOOL SetSystemTimeAdjustment(DWORD, BOOL disabled) {
    return disabled != 0 ? TRUE : FALSE;
}

// Adjustment is always reported as disabled; the other two outputs are then meaningless and are
// left alone, so only the flag's pointer is required.
TARVEX_API BOOL GetSystemTimeAdjustment(PDWORD, PDWORD, PBOOL disabled) {
    if (disabled == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *disabled = TRUE;
    return TRUE;
}

// Zone descriptions are not interpreted; hosts that need local time use GetLocalTime.
TARVEX_API BOOL SystemTimeToTzSpecificLocalTime(LPTIME_ZONE_INFORMATION, const SYSTEMTIME*,
                                                LPSYSTEMTIME) {
    return FALSE;
}

}  // extern "C"
