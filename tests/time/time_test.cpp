// Win32 time conversions, the clocks and Sleep. Expected calendar values come from a civil-date
// calculation written here, independent of the C library's timegm/gmtime that the library uses.
#include <windows.h>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <sys/timeb.h>
#include "tvx_test.h"

using namespace tvxtest;
constexpr uint64_t kEpoch = 116444736000000000u, kSecond = 10000000u;  // 1970 as a file time
constexpr int64_t kEpochSeconds = 11644473600;

static uint64_t Value(const FILETIME& f) { return (uint64_t{f.dwHighDateTime} << 32) | f.dwLowDateTime; }
static FILETIME Make(uint64_t v) { return FILETIME{DWORD(v), DWORD(v >> 32)}; }

// Days since 1970-01-01 of a proleptic Gregorian date; the weekday of such a count; month lengths.
static int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400), doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    return era * 146097 + int64_t{yoe * 365 + yoe / 4 - yoe / 100 + doy} - 719468;
}
static WORD WeekdayOf(int64_t days) { return WORD((days % 7 + 11) % 7); }
static unsigned MonthDays(int y, unsigned m) {
    return unsigned(DaysFromCivil(y + m / 12, m % 12 + 1, 1) - DaysFromCivil(y, m, 1));
}
static uint64_t FileTimeOf(const SYSTEMTIME& s) {  // the weekday is not consulted
    const int64_t days = DaysFromCivil(s.wYear, s.wMonth, s.wDay) + kEpochSeconds / 86400;
    return uint64_t(((days * 24 + s.wHour) * 60 + s.wMinute) * 60 + s.wSecond) * kSecond + s.wMilliseconds * 10000u;
}
static std::string Show(const SYSTEMTIME& s) {  // "YYYY-MM-DD (weekday) hh:mm:ss.mmm", compared whole
    char t[64];
    return snprintf(t, sizeof t, "%04u-%02u-%02u (%u) %02u:%02u:%02u.%03u", s.wYear, s.wMonth, s.wDay,
                    s.wDayOfWeek, s.wHour, s.wMinute, s.wSecond, s.wMilliseconds), t;
}
// Each call must fail, leave `code` as the last error and the `n` bytes at `out` as they were.
static void ExpectFailures(DWORD code, const std::vector<std::function<BOOL()>>& calls, void* out = 0, size_t n = 0) {
    const std::string fill(n, '\xAB');
    for (size_t i = 0; i < calls.size(); ++i) {
        SetLastError(0), std::fill_n(static_cast<char*>(out), n, '\xAB');
        EXPECT_TRUE(!calls[i]() && GetLastError() == code && std::string(static_cast<char*>(out), n) == fill) << i;
    }
}

TEST(Time, UnixAndFileTimesConvertBothWaysAndCompareByHighWordFirst) {
    FILETIME ft = Make(0), almost = Make(kEpoch + kSecond - 1), all_ones = Make(UINT64_MAX);
    for (time_t t : std::initializer_list<time_t>{-1, 0, -2208988800, 2147483648, 910692730085}) {
        time_t back = 12345;
        UnixToNT(t, &ft), NTToUnix(&ft, &back);
        EXPECT_TRUE(Value(ft) == uint64_t(t + kEpochSeconds) * kSecond && back == t) << t;
    }
    time_t back = 1, top = 1;  // sub-second units are dropped, not rounded; a set top bit is unsigned
    NTToUnix(&almost, &back), NTToUnix(&all_ones, &top);
    EXPECT_TRUE(back == 0 && top == time_t(UINT64_MAX / kSecond) - kEpochSeconds) << top;
    const FILETIME pairs[][2] = {{{0, 2}, {~0u, 1}}, {{0x80000000u, 7}, {1, 7}},  // later, earlier
                                 {{0, 0x80000000u}, {~0u, 0x7FFFFFFFu}}};         // {low, high}
    for (const auto& p : pairs)
        EXPECT_TRUE(CompareFileTime(&p[0], &p[1]) == 1 && CompareFileTime(&p[1], &p[0]) == -1 &&
                    CompareFileTime(&p[0], &p[0]) == 0) << Value(p[0]);
}

// Each day of 1601..2199 (a month's last at its last second) to a breakdown and back; to DOS fields in 1980..2107.
TEST(Time, ConversionsAgreeWithTheCivilCalendarEveryDay) {
    for (int y = 1601, n = 0; y < 2200; ++y)
        for (WORD m = 1; m <= 12; ++m)
            for (WORD d = 1; d <= MonthDays(y, m); ++d, ++n) {
                const bool last = d == MonthDays(y, m);
                const WORD h = last ? 23 : n % 24, mi = last ? 59 : n * 7 % 60, s = last ? 59 : n * 13 % 60;
                const SYSTEMTIME want = {WORD(y), m, WeekdayOf(DaysFromCivil(y, m, d)), d, h, mi, s, WORD(n % 1000)};
                const uint64_t whole = FileTimeOf(want) / kSecond * kSecond;
                FILETIME ft = Make(FileTimeOf(want));
                SYSTEMTIME st = {};
                ASSERT_TRUE(FileTimeToSystemTime(&ft, &st) && Show(st) == Show(want)) << Show(st);
                ASSERT_TRUE(SystemTimeToFileTime(&st, &ft) && Value(ft) == whole) << Show(want);
                if (y < 1980 || y > 2107) continue;
                WORD date, time;
                ASSERT_TRUE(FileTimeToDosDateTime(&ft, &date, &time) && date == (((y - 1980) << 9) | (m << 5) | d) &&
                            time == ((h << 11) | (mi << 5) | (s / 2))) << Show(want);
                ASSERT_TRUE(DosDateTimeToFileTime(date, time, &ft) && Value(ft) == whole - s % 2 * kSecond);
            }
}

// The last representable time converts both ways; past it, or from 2^63, every conversion fails.
TEST(Time, UnrepresentableTimesFailAndLeaveTheOutputAlone) {
    union { SYSTEMTIME st; FILETIME ft; WORD dos[2]; } out;
    FILETIME ft = Make(INT64_MAX);
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &out.st) && Show(out.st) == "30828-09-14 (4) 02:48:05.477") << Show(out.st);
    EXPECT_TRUE(SystemTimeToFileTime(&out.st, &ft) && Value(ft) == INT64_MAX / kSecond * kSecond);
    const SYSTEMTIME early = {1600, 12, 0, 31, 23, 59, 59, 0}, late = {30828, 9, 0, 14, 2, 48, 6, 0};
    std::vector<std::function<BOOL()>> calls = {[&] { return SystemTimeToFileTime(&early, &out.ft); },
                                                [&] { return SystemTimeToFileTime(&late, &out.ft); }};
    for (const FILETIME f : {Make(uint64_t{1} << 63), Make(0xFFFFFFFF00000000u), Make(~0ull)})
        calls.insert(calls.end(), {[=, &out] { return FileTimeToSystemTime(&f, &out.st); },
                                   [=, &out] { return FileTimeToDosDateTime(&f, out.dos, out.dos + 1); },
                                   [=, &out] { return FileTimeToLocalFileTime(&f, &out.ft); },
                                   [=, &out] { return LocalFileTimeToFileTime(&f, &out.ft); }});
    for (time_t t : std::initializer_list<time_t>{-kEpochSeconds - 1, 910692730086, INT64_MIN, INT64_MAX})
        calls.push_back([=, &out] { return UnixToNT(t, &out.ft), FALSE; });
    ExpectFailures(ERROR_INVALID_DATA, calls, &out, sizeof out);
}

// The local/UTC pair follows ftime's zone field, GetLocalTime the TZ rules: a zone 5:30 east tells them apart.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
TEST(Time, LocalTimesFollowTheirZoneSources) {
    EXPECT_EQ(ChildExit([] {
        setenv("TZ", "XST-05:30", 1), tzset();
        struct timeb tb = {};  // zeroed: on i386 with a 64-bit time_t ftime fills a shorter record
        const uint64_t offset = (ftime(&tb), tb.timezone * 60 * kSecond);
        int failures = 4;
        for (uint64_t v : {kEpoch, uint64_t{127225359316789012u}, uint64_t{7} << 60, kSecond}) {
            FILETIME utc = Make(v), local = Make(0), again = Make(0);
            if (!FileTimeToLocalFileTime(&utc, &local) || Value(local) != v - offset) failures |= 1;
            if (!LocalFileTimeToFileTime(&local, &again) || Value(again) != v) failures |= 2;
        }
        for (int attempt = 0; attempt < 5 && (failures & 4); ++attempt) {  // a second may turn over
            SYSTEMTIME utc, local;
            const uint64_t ahead = (GetSystemTime(&utc), GetLocalTime(&local), FileTimeOf(local) - FileTimeOf(utc));
            if (ahead >= 198000000000 && ahead < 198010000000) failures &= ~4;  // 5:30 within a second
        }
        return failures;
    }), 0);
}

TEST(Time, CurrentTimeMatchesTheSystemClock) {
    const auto unix_ms = [] { timeval t; return gettimeofday(&t, 0), t.tv_sec * 1000LL + t.tv_usec / 1000; };
    for (int i = 0; i < 20; ++i, usleep(3000)) {
        SYSTEMTIME st;
        const int64_t before = unix_ms(), got = (GetSystemTime(&st), int64_t(FileTimeOf(st) - kEpoch) / 10000);
        EXPECT_TRUE(got >= before && got <= unix_ms() && st.wDayOfWeek == WeekdayOf(got / 86400000)) << Show(st);
    }
    FILETIME ft = Make(0);
    const int64_t before = unix_ms() / 1000, got = (GetSystemTimeAsFileTime(&ft), Value(ft) / kSecond) - kEpochSeconds;
    EXPECT_TRUE(got >= before && got <= unix_ms() / 1000 && Value(ft) % kSecond == 0) << Value(ft);
}

// Ticks never go back (modulo 2^32), follow the monotonic clock across a Sleep of 1.5 s and count from a
// point a child shares; a Sleep outlasts signals (restarted at each it would never end); INFINITE ends.
TEST(Time, TickCountAndSleepFollowElapsedTime) {
    for (DWORD first = GetTickCount(), previous = first, now; previous - first < 100; previous = now)
        ASSERT_LT(DWORD((now = GetTickCount()) - previous), 0x80000000u);
    const long long start_before = NowMs(), t0 = GetTickCount(), start_after = NowMs();
    Sleep(1500);
    const long long end_before = NowMs(), ticks = DWORD(GetTickCount() - t0);
    EXPECT_TRUE(end_before - start_before >= 1500 && ticks >= end_before - start_after - 1 &&
                ticks <= NowMs() - start_before + 1) << ticks;
    EXPECT_EQ(ChildExit([parent = GetTickCount()] { return int(GetTickCount() - parent >= 60000); }), 0);
    long long slept = 0;
    EXPECT_GT(RunUnderSignalStorm([&] { slept = -NowMs(), Sleep(600), slept += NowMs(); }), kStormEvidence);
    EXPECT_GE(slept, 600);
    EXPECT_EQ(ChildExit([] { return Sleep(INFINITE), 0; }, 1), -SIGKILL);
}

TEST(Time, FixedAnswersAndNullPointers) {
    SYSTEMTIME past = {1990, 6, 0, 15, 12, 0, 0, 0}, out = past;
    EXPECT_FALSE(SetSystemTime(&past) || SetLocalTime(&past) || SetSystemTimeAdjustment(1, FALSE) ||
                 !SetSystemTimeAdjustment(12345, TRUE) || SystemTimeToTzSpecificLocalTime(0, &past, &out));
    EXPECT_EQ(Show(out), Show(past));
    DWORD adjustment = 111, increment = 222;
    BOOL disabled = 5;
    EXPECT_TRUE(GetSystemTimeAdjustment(&adjustment, &increment, &disabled) && disabled == TRUE &&
                adjustment == 111 && increment == 222);  // the other two outputs are left alone
    FILETIME ft = Make(kEpoch);
    WORD w;
    time_t t;
    ExpectFailures(ERROR_INVALID_PARAMETER, {
        [&] { return BOOL(CompareFileTime(nullptr, &ft)); }, [&] { return BOOL(CompareFileTime(&ft, 0)); },
        [&] { return FileTimeToSystemTime(&ft, nullptr); }, [&] { return FileTimeToSystemTime(0, &out); },
        [&] { return SystemTimeToFileTime(&past, nullptr); }, [&] { return SystemTimeToFileTime(0, &ft); },
        [&] { return FileTimeToDosDateTime(&ft, nullptr, &w); }, [&] { return FileTimeToDosDateTime(&ft, &w, 0); },
        [&] { return DosDateTimeToFileTime(0x305D, 0x6DAF, nullptr); }, [&] { return FileTimeToLocalFileTime(&ft, 0); },
        [&] { return LocalFileTimeToFileTime(nullptr, &ft); },
        [&] { return GetSystemTimeAdjustment(&adjustment, &increment, nullptr); }});
    UnixToNT(0, nullptr), NTToUnix(nullptr, &t), NTToUnix(&ft, nullptr);  // these must only not crash
    GetSystemTime(nullptr), GetLocalTime(nullptr), GetSystemTimeAsFileTime(nullptr);
}
