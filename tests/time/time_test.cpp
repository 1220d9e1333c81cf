// Win32 time conversions, the clocks and Sleep.
//
// Expected calendar values come from a civil-date calculation written here (proleptic Gregorian,
// days since 1970), independent of the C library's timegm/gmtime that the library uses.
#include <windows.h>

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/timeb.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "signal_storm.h"
#include "tvx_test.h"

namespace {

constexpr int64_t kEpochUnits = 116444736000000000;  // 1970-01-01 as a file time
constexpr int64_t kUnitsPerSecond = 10000000;

uint64_t Value(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME Make(uint64_t value) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(value);
    ft.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return ft;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct Civil {
    int64_t year;
    unsigned month, day;
};

Civil CivilFromDays(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    Civil c;
    c.day = doy - (153 * mp + 2) / 5 + 1;
    c.month = mp < 10 ? mp + 3 : mp - 9;
    c.year = static_cast<int64_t>(yoe) + era * 400 + (c.month <= 2);
    return c;
}

uint64_t FileTimeOf(int64_t y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0) {
    int64_t unix_seconds = DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
    return static_cast<uint64_t>((unix_seconds * kUnitsPerSecond) + kEpochUnits);
}

WORD DosDate(int y, int m, int d) { return static_cast<WORD>(((y - 1980) << 9) | (m << 5) | d); }
WORD DosTime(int h, int m, int s) { return static_cast<WORD>((h << 11) | (m << 5) | (s / 2)); }

SYSTEMTIME Sentinel() {
    SYSTEMTIME st;
    memset(&st, 0xAB, sizeof st);
    return st;
}

bool SameBytes(const SYSTEMTIME& a, const SYSTEMTIME& b) { return memcmp(&a, &b, sizeof a) == 0; }

int64_t UnixSecondsOf(const SYSTEMTIME& st) {
    return DaysFromCivil(st.wYear, st.wMonth, st.wDay) * 86400 + st.wHour * 3600 +
           st.wMinute * 60 + st.wSecond;
}

long long RealtimeMs() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// The minutes-west figure the system's ftime reports, which the local/UTC file-time pair follows.
int FtimeMinutesWest() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    struct timeb tb;
    ftime(&tb);
#pragma GCC diagnostic pop
    return tb.timezone;
}

using tvxtest::RunUnderSignalStorm;

}  // namespace

TEST(Time, UnixAndFileTimesConvertAcrossTheEpochDistance) {
    FILETIME ft = Make(0);
    UnixToNT(0, &ft);
    EXPECT_EQ(Value(ft), 116444736000000000u);
    EXPECT_EQ(ft.dwHighDateTime, 0x019DB1DEu);
    EXPECT_EQ(ft.dwLowDateTime, 0xD53E8000u);
    time_t back = 12345;
    NTToUnix(&ft, &back);
    EXPECT_EQ(back, 0);

    FILETIME before = Make(0);
    UnixToNT(-1, &before);
    EXPECT_EQ(Value(ft) - Value(before), 10000000u);
    NTToUnix(&before, &back);
    EXPECT_EQ(back, -1);

    // Sub-second units are dropped, not rounded.
    FILETIME almost = Make(116444736000000000u + 9999999u);
    NTToUnix(&almost, &back);
    EXPECT_EQ(back, 0);

    // Both directions use the whole 64-bit system time: before 1901 and after 2038 included.
    const time_t samples[] = {-2208988800, -11644473600, 2147483647, 2147483648,
                              4102444800,  253402300799, 910692730085};
    for (time_t t : samples) {
        FILETIME f = Make(1);
        UnixToNT(t, &f);
        EXPECT_EQ(Value(f), static_cast<uint64_t>((t + 11644473600) * kUnitsPerSecond)) << t;
        NTToUnix(&f, &back);
        EXPECT_EQ(back, t);
    }
    FILETIME first = Make(99);
    UnixToNT(-11644473600, &first);
    EXPECT_EQ(Value(first), 0u);  // 1601-01-01, the start of file time

    // A NTToUnix of a file time with the high bit set reads it as unsigned.
    FILETIME all_ones = Make(UINT64_MAX);
    NTToUnix(&all_ones, &back);
    EXPECT_EQ(back, static_cast<time_t>(UINT64_MAX / 10000000u) - 11644473600);

    // Times a file time cannot hold leave the output alone and say why.
    const time_t unrepresentable[] = {-11644473601, 910692730086, INT64_MIN, INT64_MAX};
    for (time_t t : unrepresentable) {
        FILETIME f = Make(0x1234567890ABCDEFu);
        SetLastError(0);
        UnixToNT(t, &f);
        EXPECT_EQ(Value(f), 0x1234567890ABCDEFu) << t;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA)) << t;
    }

    UnixToNT(0, nullptr);
    NTToUnix(nullptr, &back);
    NTToUnix(&ft, nullptr);
}

TEST(Time, CompareFileTimeOrdersByHighWordThenLowWord) {
    FILETIME high_later = {0x00000000u, 0x00000002u};  // low word, high word
    FILETIME low_later = {0xFFFFFFFFu, 0x00000001u};
    EXPECT_EQ(CompareFileTime(&high_later, &low_later), 1);
    EXPECT_EQ(CompareFileTime(&low_later, &high_later), -1);
    EXPECT_EQ(CompareFileTime(&low_later, &low_later), 0);

    // Both words compare unsigned: a set top bit is later, not earlier.
    FILETIME top_low = {0x80000000u, 7u};
    FILETIME small_low = {0x00000001u, 7u};
    EXPECT_EQ(CompareFileTime(&top_low, &small_low), 1);
    EXPECT_EQ(CompareFileTime(&small_low, &top_low), -1);
    FILETIME top_high = {0u, 0x80000000u};
    FILETIME small_high = {0xFFFFFFFFu, 0x7FFFFFFFu};
    EXPECT_EQ(CompareFileTime(&top_high, &small_high), 1);
    EXPECT_EQ(CompareFileTime(&small_high, &top_high), -1);

    // Agrees with the 64-bit order on values from conversions.
    FILETIME a, b;
    UnixToNT(1000000000, &a);
    UnixToNT(1000000001, &b);
    EXPECT_EQ(CompareFileTime(&a, &b), -1);
    EXPECT_EQ(CompareFileTime(&b, &a), 1);

    SetLastError(0);
    EXPECT_EQ(CompareFileTime(nullptr, &a), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Time, FileTimeToSystemTimeBreaksDownUtcWithMilliseconds) {
    FILETIME ft = Make(116444736000000000u);
    SYSTEMTIME st = Sentinel();
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.wYear, 1970);
    EXPECT_EQ(st.wMonth, 1);
    EXPECT_EQ(st.wDay, 1);
    EXPECT_EQ(st.wDayOfWeek, 4);  // Thursday
    EXPECT_EQ(st.wHour, 0);
    EXPECT_EQ(st.wMinute, 0);
    EXPECT_EQ(st.wSecond, 0);
    EXPECT_EQ(st.wMilliseconds, 0);

    ft = Make(116444736000000000u + 123450000u);
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.wSecond, 12);
    EXPECT_EQ(st.wMilliseconds, 345);

    // The first and the last representable instants.
    ft = Make(0);
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.wYear, 1601);
    EXPECT_EQ(st.wMonth, 1);
    EXPECT_EQ(st.wDay, 1);
    EXPECT_EQ(st.wDayOfWeek, 1);  // Monday
    ft = Make(0x7FFFFFFFFFFFFFFFu);
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.wYear, 30828);
    EXPECT_EQ(st.wMonth, 9);
    EXPECT_EQ(st.wDay, 14);
    EXPECT_EQ(st.wDayOfWeek, 4);
    EXPECT_EQ(st.wHour, 2);
    EXPECT_EQ(st.wMinute, 48);
    EXPECT_EQ(st.wSecond, 5);
    EXPECT_EQ(st.wMilliseconds, 477);

    // A sweep over five centuries, checked against the civil-date calculation.
    const uint64_t step = 37ull * 86400 * kUnitsPerSecond + 3601ull * kUnitsPerSecond + 7770000u;
    for (uint64_t v = FileTimeOf(1601, 1, 1); v < FileTimeOf(2200, 1, 1); v += step) {
        ft = Make(v);
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &st)) << v;
        int64_t seconds = static_cast<int64_t>(v / kUnitsPerSecond) - 11644473600;
        int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
        int64_t of_day = seconds - days * 86400;
        Civil c = CivilFromDays(days);
        ASSERT_EQ(st.wYear, c.year) << v;
        ASSERT_EQ(st.wMonth, c.month) << v;
        ASSERT_EQ(st.wDay, c.day) << v;
        ASSERT_EQ(st.wDayOfWeek, static_cast<WORD>(((days % 7) + 11) % 7)) << v;
        ASSERT_EQ(st.wHour, of_day / 3600) << v;
        ASSERT_EQ(st.wMinute, of_day / 60 % 60) << v;
        ASSERT_EQ(st.wSecond, of_day % 60) << v;
        ASSERT_EQ(st.wMilliseconds, (v / 10000) % 1000) << v;
    }
}

TEST(Time, FileTimeToSystemTimeRejectsNegativeValuesAndNullPointers) {
    const uint64_t negative[] = {0x8000000000000000u, UINT64_MAX};
    for (uint64_t v : negative) {
        FILETIME ft = Make(v);
        SYSTEMTIME st = Sentinel();
        SetLastError(0);
        EXPECT_FALSE(FileTimeToSystemTime(&ft, &st));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
        EXPECT_TRUE(SameBytes(st, Sentinel()));
    }
    FILETIME ft = Make(kEpochUnits);
    SYSTEMTIME st;
    SetLastError(0);
    EXPECT_FALSE(FileTimeToSystemTime(&ft, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_FALSE(FileTimeToSystemTime(nullptr, &st));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Time, SystemTimeToFileTimeGivesWholeUtcSeconds) {
    // Day of week and milliseconds are not used.
    SYSTEMTIME st = {2004, 2, 6, 29, 13, 45, 31, 999};
    FILETIME ft = Make(0);
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    EXPECT_EQ(Value(ft), 127225359310000000u);

    SYSTEMTIME first = {1601, 1, 0, 1, 0, 0, 0, 0};
    ASSERT_TRUE(SystemTimeToFileTime(&first, &ft));
    EXPECT_EQ(Value(ft), 0u);
    SYSTEMTIME last = {30828, 9, 0, 14, 2, 48, 5, 0};
    ASSERT_TRUE(SystemTimeToFileTime(&last, &ft));
    EXPECT_EQ(Value(ft), 0x7FFFFFFFFFFFFFFFu / 10000000u * 10000000u);
    SYSTEMTIME after_2038 = {2100, 3, 0, 1, 0, 0, 0, 0};
    ASSERT_TRUE(SystemTimeToFileTime(&after_2038, &ft));
    EXPECT_EQ(Value(ft), FileTimeOf(2100, 3, 1));

    // Outside 1601..30828 there is no file time; the output stays as it was.
    const SYSTEMTIME outside[] = {{1600, 12, 0, 31, 23, 59, 59, 0},
                                  {30828, 9, 0, 14, 2, 48, 6, 0},
                                  {65535, 12, 0, 31, 0, 0, 0, 0}};
    for (const SYSTEMTIME& s : outside) {
        FILETIME untouched = Make(0x0102030405060708u);
        SetLastError(0);
        EXPECT_FALSE(SystemTimeToFileTime(&s, &untouched)) << s.wYear;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA)) << s.wYear;
        EXPECT_EQ(Value(untouched), 0x0102030405060708u) << s.wYear;
    }

    // Round trip through the breakdown, milliseconds aside.
    for (uint64_t v = FileTimeOf(1700, 1, 1); v < FileTimeOf(2500, 1, 1);
         v += 101ull * 86400 * kUnitsPerSecond + 12345678u) {
        FILETIME in = Make(v), out;
        SYSTEMTIME s;
        ASSERT_TRUE(FileTimeToSystemTime(&in, &s));
        ASSERT_TRUE(SystemTimeToFileTime(&s, &out));
        ASSERT_EQ(Value(out), v / kUnitsPerSecond * kUnitsPerSecond);
    }

    SetLastError(0);
    EXPECT_FALSE(SystemTimeToFileTime(&st, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_FALSE(SystemTimeToFileTime(nullptr, &ft));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Time, DosDateTimePacksUtcFieldsToTwoSeconds) {
    FILETIME ft = Make(127225359310000000u);  // 2004-02-29 13:45:31 UTC
    WORD date = 0, time = 0;
    ASSERT_TRUE(FileTimeToDosDateTime(&ft, &date, &time));
    EXPECT_EQ(date, 0x305D);
    EXPECT_EQ(time, 0x6DAF);
    FILETIME back = Make(0);
    ASSERT_TRUE(DosDateTimeToFileTime(date, time, &back));
    EXPECT_EQ(Value(back), 127225359300000000u);  // 13:45:30
    SYSTEMTIME st;
    ASSERT_TRUE(FileTimeToSystemTime(&back, &st));
    EXPECT_EQ(st.wSecond, 30);

    // Leap years follow the Gregorian rule: 2000 has 29 February, 2100 does not.
    ASSERT_TRUE(DosDateTimeToFileTime(DosDate(2000, 3, 1), 0, &ft));
    EXPECT_EQ(Value(ft), 125963424000000000u);
    FILETIME leap_day;
    ASSERT_TRUE(DosDateTimeToFileTime(DosDate(2000, 2, 29), 0, &leap_day));
    EXPECT_EQ(Value(ft) - Value(leap_day), 86400u * kUnitsPerSecond);
    FILETIME feb28, mar1;
    ASSERT_TRUE(DosDateTimeToFileTime(DosDate(2100, 2, 28), 0, &feb28));
    ASSERT_TRUE(DosDateTimeToFileTime(DosDate(2100, 3, 1), 0, &mar1));
    EXPECT_EQ(Value(mar1) - Value(feb28), 86400u * kUnitsPerSecond);

    // Dates past 2038 convert: 2040-06-15 12:34:56 and the last DOS date, 2107-12-31 23:59:58.
    ft = Make(0);
    ASSERT_TRUE(DosDateTimeToFileTime(0x78CF, 0x645C, &ft));
    EXPECT_EQ(Value(ft), 138678500960000000u);
    ASSERT_TRUE(FileTimeToDosDateTime(&ft, &date, &time));
    EXPECT_EQ(date, 0x78CF);
    EXPECT_EQ(time, 0x645C);
    ASSERT_TRUE(DosDateTimeToFileTime(DosDate(2107, 12, 31), DosTime(23, 59, 58), &ft));
    EXPECT_EQ(Value(ft), 159992927980000000u);

    // Every day of the DOS range, each at a different time of day, both ways.
    int n = 0;
    for (int64_t day = DaysFromCivil(1980, 1, 1); day <= DaysFromCivil(2107, 12, 31); ++day, ++n) {
        Civil c = CivilFromDays(day);
        int h = n % 24, mi = (n * 7) % 60, s = (n * 2) % 60;
        WORD d = DosDate(static_cast<int>(c.year), c.month, c.day), t = DosTime(h, mi, s);
        FILETIME f;
        ASSERT_TRUE(DosDateTimeToFileTime(d, t, &f)) << c.year << "-" << c.month << "-" << c.day;
        ASSERT_EQ(Value(f), FileTimeOf(c.year, c.month, c.day, h, mi, s));
        WORD d2 = 0, t2 = 0;
        ASSERT_TRUE(FileTimeToDosDateTime(&f, &d2, &t2));
        ASSERT_EQ(d2, d);
        ASSERT_EQ(t2, t);
    }
}

TEST(Time, DosDateTimeRejectsWhatItCannotConvert) {
    FILETIME negative = Make(0x8000000000000001u);
    WORD date = 0x1111, time = 0x2222;
    SetLastError(0);
    EXPECT_FALSE(FileTimeToDosDateTime(&negative, &date, &time));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(date, 0x1111);
    EXPECT_EQ(time, 0x2222);

    FILETIME ft = Make(kEpochUnits);
    SetLastError(0);
    EXPECT_FALSE(FileTimeToDosDateTime(&ft, nullptr, &time));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_FALSE(FileTimeToDosDateTime(&ft, &date, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_FALSE(DosDateTimeToFileTime(0x305D, 0x6DAF, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// The offset is the zone field ftime reports, not the process's TZ rules; the child sets a TZ
// five and a half hours east so that using it would show.
TEST(Time, LocalFileTimeFollowsTheSystemZoneField) {
    int status = tvxtest::RunInChild([] {
        setenv("TZ", "XST-05:30", 1);
        tzset();
        const int64_t offset_units = static_cast<int64_t>(FtimeMinutesWest()) * 60 * kUnitsPerSecond;
        int failures = 0;
        const uint64_t samples[] = {kEpochUnits, 127225359316789012u, 0x7000000000000000u,
                                    86400u * 10000000u};
        for (uint64_t v : samples) {
            FILETIME utc = Make(v), local = Make(0), again = Make(0);
            if (!FileTimeToLocalFileTime(&utc, &local)) failures |= 1;
            if (static_cast<int64_t>(Value(local)) != static_cast<int64_t>(v) - offset_units)
                failures |= 2;
            if (!LocalFileTimeToFileTime(&local, &again) || Value(again) != v) failures |= 4;
        }
        FILETIME negative = Make(0xFFFFFFFF00000000u), out = Make(77);
        SetLastError(0);
        if (FileTimeToLocalFileTime(&negative, &out) || GetLastError() != ERROR_INVALID_DATA ||
            Value(out) != 77)
            failures |= 8;
        SetLastError(0);
        if (LocalFileTimeToFileTime(&negative, &out) || GetLastError() != ERROR_INVALID_DATA ||
            Value(out) != 77)
            failures |= 16;
        FILETIME any = Make(kEpochUnits);
        SetLastError(0);
        if (FileTimeToLocalFileTime(&any, nullptr) || GetLastError() != ERROR_INVALID_PARAMETER)
            failures |= 32;
        SetLastError(0);
        if (LocalFileTimeToFileTime(nullptr, &out) || GetLastError() != ERROR_INVALID_PARAMETER)
            failures |= 64;
        return failures;
    });
    EXPECT_EQ(tvxtest::ExitCodeOf(status), 0);
}

TEST(Time, CurrentTimeMatchesTheSystemClock) {
    for (int i = 0; i < 20; ++i) {
        long long before = RealtimeMs();
        SYSTEMTIME st = Sentinel();
        GetSystemTime(&st);
        long long after = RealtimeMs();
        ASSERT_LT(st.wMilliseconds, 1000);
        long long got = UnixSecondsOf(st) * 1000 + st.wMilliseconds;
        EXPECT_GE(got, before);
        EXPECT_LE(got, after);
        int64_t days = UnixSecondsOf(st) / 86400;
        EXPECT_EQ(st.wDayOfWeek, static_cast<WORD>((days + 4) % 7));
        usleep(3000);
    }

    long long before = RealtimeMs() / 1000;
    FILETIME now = Make(0);
    GetSystemTimeAsFileTime(&now);
    long long after = RealtimeMs() / 1000;
    EXPECT_EQ(Value(now) % kUnitsPerSecond, 0u);  // whole seconds
    int64_t seconds = static_cast<int64_t>(Value(now) / kUnitsPerSecond) - 11644473600;
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);

    GetSystemTime(nullptr);
    GetLocalTime(nullptr);
    GetSystemTimeAsFileTime(nullptr);
}

// Local time follows the process's zone rules (a fixed +05:30 zone here, needing no zone files).
TEST(Time, LocalTimeFollowsTheProcessZone) {
    int status = tvxtest::RunInChild([] {
        setenv("TZ", "XST-05:30", 1);
        tzset();
        for (int attempt = 0; attempt < 5; ++attempt) {
            SYSTEMTIME utc, local;
            GetSystemTime(&utc);
            GetLocalTime(&local);
            int64_t diff_ms = (UnixSecondsOf(local) * 1000 + local.wMilliseconds) -
                              (UnixSecondsOf(utc) * 1000 + utc.wMilliseconds);
            if (diff_ms >= 19800000 && diff_ms < 19800000 + 1000 && local.wMilliseconds < 1000)
                return 0;
        }
        return 1;
    });
    EXPECT_EQ(tvxtest::ExitCodeOf(status), 0);
}

TEST(Time, TickCountCountsMillisecondsFromASharedFixedPoint) {
    // Never goes backwards (differences taken modulo 2^32, so a wrap is not a step back).
    DWORD previous = GetTickCount();
    long long until = tvxtest::NowMs() + 100;
    while (tvxtest::NowMs() < until) {
        DWORD now = GetTickCount();
        ASSERT_LT(static_cast<DWORD>(now - previous), 0x80000000u);
        previous = now;
    }

    // Advances with elapsed time, to the millisecond.
    DWORD t0 = GetTickCount();
    long long n0 = tvxtest::NowMs();
    Sleep(700);
    DWORD t1 = GetTickCount();
    long long n1 = tvxtest::NowMs();
    long long ticks = static_cast<DWORD>(t1 - t0);
    EXPECT_GE(ticks, 690);
    EXPECT_NEAR(ticks, n1 - n0, 50);

    // The fixed point is the system's, not the process's: another process reads the same count.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    DWORD parent_before = GetTickCount();
    int status = tvxtest::RunInChild([&] {
        DWORD child = GetTickCount();
        return write(fds[1], &child, sizeof child) == sizeof child ? 0 : 1;
    });
    DWORD parent_after = GetTickCount();
    DWORD child = 0;
    ASSERT_EQ(read(fds[0], &child, sizeof child), static_cast<ssize_t>(sizeof child));
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(tvxtest::ExitCodeOf(status), 0);
    EXPECT_LE(static_cast<DWORD>(child - parent_before), static_cast<DWORD>(parent_after - parent_before));
}

TEST(Time, SleepWaitsTheRequestedMilliseconds) {
    long long start = tvxtest::NowMs();
    Sleep(1500);  // more than a second: seconds and the millisecond part both count
    long long slept = tvxtest::NowMs() - start;
    EXPECT_GE(slept, 1499);
    EXPECT_LT(slept, 4000);

    start = tvxtest::NowMs();
    Sleep(250);
    slept = tvxtest::NowMs() - start;
    EXPECT_GE(slept, 249);
    EXPECT_LT(slept, 2500);

    start = tvxtest::NowMs();
    for (int i = 0; i < 100; ++i) Sleep(0);
    EXPECT_LT(tvxtest::NowMs() - start, 200);
}

TEST(Time, SleepSleepsOnThroughSignals) {
    long long slept = 0;
    long signals = RunUnderSignalStorm([&] {
        long long start = tvxtest::NowMs();
        Sleep(600);
        slept = tvxtest::NowMs() - start;
    });
    EXPECT_GT(signals, tvxtest::kStormEvidence);
    EXPECT_GE(slept, 599);
    EXPECT_LT(slept, 5000);
}

// INFINITE is a long finite count; it must not turn into an invalid interval that returns at once.
TEST(Time, InfiniteSleepDoesNotReturn) {
    int status = tvxtest::RunInChild([] {
        Sleep(INFINITE);
        return 0;
    }, 1);
    EXPECT_EQ(tvxtest::ExitCodeOf(status), -SIGKILL);
}

TEST(Time, ClockSettersAndZoneConversionChangeNothing) {
    SYSTEMTIME past = {1990, 6, 0, 15, 12, 0, 0, 0};
    EXPECT_FALSE(SetSystemTime(&past));
    EXPECT_FALSE(SetLocalTime(&past));
    SYSTEMTIME now;
    GetSystemTime(&now);
    EXPECT_GT(now.wYear, 2020);

    EXPECT_TRUE(SetSystemTimeAdjustment(12345, TRUE));
    EXPECT_FALSE(SetSystemTimeAdjustment(12345, FALSE));

    DWORD adjustment = 111, increment = 222;
    BOOL disabled = 5;
    EXPECT_TRUE(GetSystemTimeAdjustment(&adjustment, &increment, &disabled));
    EXPECT_EQ(disabled, 1);
    EXPECT_EQ(adjustment, 111u);
    EXPECT_EQ(increment, 222u);
    SetLastError(0);
    EXPECT_FALSE(GetSystemTimeAdjustment(&adjustment, &increment, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    SYSTEMTIME local = Sentinel();
    EXPECT_FALSE(SystemTimeToTzSpecificLocalTime(nullptr, &now, &local));
    EXPECT_TRUE(SameBytes(local, Sentinel()));
}
