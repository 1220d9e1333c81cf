// Win32 time conversions, the clocks and Sleep.
//
// Expected calendar values come from a civil-date calculation written here (proleptic Gregorian,
// days since 1970), independent of the C library's timegm/gmtime that the library uses.
#include <windows.h>

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/timeb.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tvx_test.h"

namespace {

constexpr uint64_t kEpoch = 116444736000000000u;  // 1970-01-01 as a file time
constexpr uint64_t kSecond = 10000000u;
constexpr int64_t kEpochSeconds = 11644473600;

uint64_t Value(const FILETIME& f) { return (uint64_t{f.dwHighDateTime} << 32) | f.dwLowDateTime; }
FILETIME Make(uint64_t v) { return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)}; }

// Days since 1970-01-01 of a proleptic Gregorian date; the weekday of such a count; month lengths.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    return era * 146097 + static_cast<int64_t>(yoe * 365 + yoe / 4 - yoe / 100 + doy) - 719468;
}
WORD WeekdayOf(int64_t days) { return static_cast<WORD>((days % 7 + 11) % 7); }
unsigned MonthDays(int y, unsigned m) {
    return static_cast<unsigned>(DaysFromCivil(y + m / 12, m % 12 + 1, 1) - DaysFromCivil(y, m, 1));
}
uint64_t FileTimeOf(int64_t y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0) {
    const int64_t seconds = DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
    return static_cast<uint64_t>(seconds + kEpochSeconds) * kSecond;
}
// Milliseconds since 1970 of a breakdown, and of the system clock.
int64_t UnixMs(const SYSTEMTIME& s) {
    const uint64_t ft = FileTimeOf(s.wYear, s.wMonth, s.wDay, s.wHour, s.wMinute, s.wSecond);
    return static_cast<int64_t>(ft / 10000) - kEpochSeconds * 1000 + s.wMilliseconds;
}
int64_t UnixMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// "YYYY-MM-DD (weekday) hh:mm:ss.mmm", so that a whole breakdown compares in one expectation.
std::string Show(const SYSTEMTIME& s) {
    char text[64];
    snprintf(text, sizeof text, "%04u-%02u-%02u (%u) %02u:%02u:%02u.%03u", s.wYear, s.wMonth,
             s.wDay, s.wDayOfWeek, s.wHour, s.wMinute, s.wSecond, s.wMilliseconds);
    return text;
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

// The call must fail and leave `error` as the last error.
testing::AssertionResult FailsWith(DWORD error, const std::function<BOOL()>& call) {
    SetLastError(0);
    if (call()) return testing::AssertionFailure() << "the call succeeded";
    if (GetLastError() == error) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "last error " << GetLastError();
}
#define EXPECT_REFUSED(...) \
    EXPECT_TRUE(FailsWith(ERROR_INVALID_PARAMETER, [&] { return BOOL(__VA_ARGS__); }))

int ChildExit(const std::function<int()>& body, int timeout_seconds = 30) {
    return tvxtest::ExitCodeOf(tvxtest::RunInChild(body, timeout_seconds));
}

}  // namespace

TEST(Time, UnixAndFileTimesConvertBothWaysAndCompareByHighWordFirst) {
    FILETIME ft = Make(0);
    UnixToNT(0, &ft);
    EXPECT_EQ(ft.dwHighDateTime, 0x019DB1DEu);
    EXPECT_EQ(ft.dwLowDateTime, 0xD53E8000u);
    // Before 1901, around 2038 and the last second a file time holds.
    for (time_t t : {time_t{-1}, time_t{0}, time_t{-2208988800}, -kEpochSeconds,
                     time_t{2147483648}, time_t{910692730085}}) {
        time_t back = 12345;
        UnixToNT(t, &ft);
        NTToUnix(&ft, &back);
        EXPECT_EQ(Value(ft), static_cast<uint64_t>(t + kEpochSeconds) * kSecond) << t;
        EXPECT_EQ(back, t);
    }
    time_t back = 1;
    FILETIME almost = Make(kEpoch + kSecond - 1), all_ones = Make(UINT64_MAX);
    NTToUnix(&almost, &back);
    EXPECT_EQ(back, 0);          // sub-second units dropped, not rounded
    NTToUnix(&all_ones, &back);  // a set top bit is read as unsigned
    EXPECT_EQ(back, static_cast<time_t>(UINT64_MAX / kSecond) - kEpochSeconds);

    const FILETIME pairs[][2] = {{{0, 2}, {0xFFFFFFFFu, 1}},  // {later, earlier}, each {low, high}
                                 {{0x80000000u, 7}, {1, 7}},
                                 {{0, 0x80000000u}, {0xFFFFFFFFu, 0x7FFFFFFFu}}};
    for (const auto& p : pairs) {
        EXPECT_EQ(CompareFileTime(&p[0], &p[1]), 1) << Value(p[0]);
        EXPECT_EQ(CompareFileTime(&p[1], &p[0]), -1) << Value(p[0]);
        EXPECT_EQ(CompareFileTime(&p[0], &p[0]), 0) << Value(p[0]);
    }
}

TEST(Time, KnownDatesConvertExactly) {
    const std::pair<uint64_t, const char*> fixed[] = {
        {kEpoch, "1970-01-01 (4) 00:00:00.000"},  // a Thursday
        {kEpoch + 123450000u, "1970-01-01 (4) 00:00:12.345"},
        {0, "1601-01-01 (1) 00:00:00.000"},
        {INT64_MAX, "30828-09-14 (4) 02:48:05.477"}};
    for (const auto& [v, text] : fixed) {
        FILETIME ft = Make(v);
        SYSTEMTIME st;
        EXPECT_TRUE(FileTimeToSystemTime(&ft, &st));
        EXPECT_EQ(Show(st), text);
        EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));  // milliseconds and weekday are not used
        EXPECT_EQ(Value(ft), v / kSecond * kSecond) << text;
    }
    FILETIME ft = Make(127225359310000000u);  // 2004-02-29 13:45:31 UTC
    WORD date = 0, time = 0;
    ASSERT_TRUE(FileTimeToDosDateTime(&ft, &date, &time));
    EXPECT_EQ(date, 0x305D);
    EXPECT_EQ(time, 0x6DAF);
    ASSERT_TRUE(DosDateTimeToFileTime(date, time, &ft));
    EXPECT_EQ(Value(ft), 127225359300000000u);  // 13:45:30
    ASSERT_TRUE(DosDateTimeToFileTime((20 << 9) | (3 << 5) | 1, 0, &ft));
    EXPECT_EQ(Value(ft), 125963424000000000u);  // 2000-03-01
    ASSERT_TRUE(DosDateTimeToFileTime(0x78CF, 0x645C, &ft));
    EXPECT_EQ(Value(ft), FileTimeOf(2040, 6, 15, 12, 34, 56));
}

// Every day from 1601 to 2199 at a varying time of day, against the civil-date calculation: to a
// breakdown and back in whole seconds, and within 1980..2107 to DOS fields (two-second steps) and
// back.
TEST(Time, ConversionsAgreeWithTheCivilCalendarEveryDay) {
    int n = 0;
    for (int y = 1601; y < 2200; ++y)
        for (WORD m = 1; m <= 12; ++m)
            for (WORD d = 1; d <= MonthDays(y, m); ++d, ++n) {
                const WORD h = WORD(n % 24), mi = WORD(n * 7 % 60), s = WORD(n * 13 % 60);
                const SYSTEMTIME want = {WORD(y), m, WeekdayOf(DaysFromCivil(y, m, d)), d, h, mi, s,
                                         WORD(n % 1000)};
                const uint64_t whole = FileTimeOf(y, m, d, h, mi, s);
                FILETIME ft = Make(whole + want.wMilliseconds * 10000u);
                SYSTEMTIME st;
                ASSERT_TRUE(FileTimeToSystemTime(&ft, &st)) << Show(want);
                ASSERT_EQ(memcmp(&st, &want, sizeof st), 0) << Show(st) << " for " << Show(want);
                ASSERT_TRUE(SystemTimeToFileTime(&st, &ft)) << Show(want);
                ASSERT_EQ(Value(ft), whole) << Show(want);
                if (y < 1980 || y > 2107) continue;
                const WORD dos_date = WORD(((y - 1980) << 9) | (m << 5) | d);
                const WORD dos_time = WORD((h << 11) | (mi << 5) | (s / 2));
                WORD date, time;
                ASSERT_TRUE(FileTimeToDosDateTime(&ft, &date, &time)) << Show(want);
                ASSERT_EQ(date, dos_date) << Show(want);
                ASSERT_EQ(time, dos_time) << Show(want);
                ASSERT_TRUE(DosDateTimeToFileTime(date, time, &ft)) << Show(want);
                ASSERT_EQ(Value(ft), whole - s % 2 * kSecond) << Show(want);
            }
}

// Negative file times (from 2^63) and times outside 1601..30828 fail with ERROR_INVALID_DATA in
// every conversion and leave the output as it was.
TEST(Time, UnrepresentableTimesFailAndLeaveTheOutputAlone) {
    union { SYSTEMTIME st; FILETIME ft; WORD dos[2]; } out, untouched;
    memset(&untouched, 0xAB, sizeof untouched);
    const FILETIME negative[] = {Make(uint64_t{1} << 63), Make(0xFFFFFFFF00000000u), Make(~0ull)};
    const SYSTEMTIME outside[] = {{1600, 12, 0, 31, 23, 59, 59, 0}, {30828, 9, 0, 14, 2, 48, 6, 0}};
    std::vector<std::function<BOOL()>> calls;
    for (const FILETIME& f : negative) {
        calls.push_back([&] { return FileTimeToSystemTime(&f, &out.st); });
        calls.push_back([&] { return FileTimeToDosDateTime(&f, &out.dos[0], &out.dos[1]); });
        calls.push_back([&] { return FileTimeToLocalFileTime(&f, &out.ft); });
        calls.push_back([&] { return LocalFileTimeToFileTime(&f, &out.ft); });
    }
    for (const SYSTEMTIME& s : outside)
        calls.push_back([&] { return SystemTimeToFileTime(&s, &out.ft); });
    for (time_t t : {-kEpochSeconds - 1, time_t{910692730086}, time_t{INT64_MIN}, INT64_MAX})
        calls.push_back([&, t] { return UnixToNT(t, &out.ft), FALSE; });
    for (size_t i = 0; i < calls.size(); ++i) {
        out = untouched;
        EXPECT_TRUE(FailsWith(ERROR_INVALID_DATA, calls[i])) << "case " << i;
        EXPECT_EQ(memcmp(&out, &untouched, sizeof out), 0) << "case " << i;
    }
}

// The local/UTC file-time pair follows the zone field ftime reports, GetLocalTime the process's
// TZ rules; the child's fixed zone five and a half hours east tells the two apart.
TEST(Time, LocalTimesFollowTheirZoneSources) {
    EXPECT_EQ(ChildExit([] {
        setenv("TZ", "XST-05:30", 1);
        tzset();
        const uint64_t offset = static_cast<uint64_t>(FtimeMinutesWest() * 60 * int64_t{kSecond});
        int failures = 4;
        for (uint64_t v : {kEpoch, uint64_t{127225359316789012u}, uint64_t{7} << 60, kSecond}) {
            FILETIME utc = Make(v), local = Make(0), again = Make(0);
            if (!FileTimeToLocalFileTime(&utc, &local) || Value(local) != v - offset) failures |= 1;
            if (!LocalFileTimeToFileTime(&local, &again) || Value(again) != v) failures |= 2;
        }
        for (int attempt = 0; attempt < 5 && (failures & 4); ++attempt) {
            SYSTEMTIME utc, local;
            GetSystemTime(&utc);
            GetLocalTime(&local);
            const int64_t ahead = UnixMs(local) - UnixMs(utc);
            if (ahead >= 19800000 && ahead < 19801000) failures &= ~4;
        }
        return failures;
    }), 0);
}

TEST(Time, CurrentTimeMatchesTheSystemClock) {
    for (int i = 0; i < 20; ++i, usleep(3000)) {
        SYSTEMTIME st;
        const int64_t before = UnixMs();
        GetSystemTime(&st);
        const int64_t after = UnixMs(), got = UnixMs(st);
        EXPECT_TRUE(got >= before && got <= after && st.wMilliseconds < 1000) << Show(st);
        EXPECT_EQ(st.wDayOfWeek, WeekdayOf(got / 86400000)) << Show(st);
    }
    FILETIME now = Make(0);
    const uint64_t before = static_cast<uint64_t>(UnixMs() / 1000 + kEpochSeconds) * kSecond;
    GetSystemTimeAsFileTime(&now);
    const uint64_t after = static_cast<uint64_t>(UnixMs() / 1000 + kEpochSeconds) * kSecond;
    EXPECT_TRUE(Value(now) >= before && Value(now) <= after) << Value(now);
    EXPECT_EQ(Value(now) % kSecond, 0u);  // whole seconds
}

// Ticks never go back (differences modulo 2^32), follow elapsed time across a Sleep with both a
// seconds and a millisecond part, and count from the system's fixed point, which a child shares.
// Sleep(0) returns at once; a Sleep goes on through signals; INFINITE is a long finite count.
TEST(Time, TickCountAndSleepFollowElapsedTime) {
    DWORD previous = GetTickCount();
    for (long long until = tvxtest::NowMs() + 100; tvxtest::NowMs() < until;) {
        const DWORD now = GetTickCount();
        ASSERT_LT(static_cast<DWORD>(now - previous), 0x80000000u);
        previous = now;
    }
    const DWORD t0 = GetTickCount();
    long long start = tvxtest::NowMs();
    Sleep(1500);
    const long long ticks = static_cast<DWORD>(GetTickCount() - t0);
    const long long slept = tvxtest::NowMs() - start;
    EXPECT_TRUE(slept >= 1499 && slept < 4000) << slept;
    EXPECT_NEAR(ticks, slept, 50);
    const DWORD parent = GetTickCount();
    EXPECT_EQ(ChildExit([&] { return GetTickCount() - parent > 5000 ? 1 : 0; }), 0);

    start = tvxtest::NowMs();
    for (int i = 0; i < 100; ++i) Sleep(0);
    EXPECT_LT(tvxtest::NowMs() - start, 200);
    long long stormed = 0;
    EXPECT_GT(tvxtest::RunUnderSignalStorm([&] {
        const long long begin = tvxtest::NowMs();
        Sleep(600);
        stormed = tvxtest::NowMs() - begin;
    }), tvxtest::kStormEvidence);
    EXPECT_TRUE(stormed >= 599 && stormed < 5000) << stormed;
    EXPECT_EQ(ChildExit([] { return Sleep(INFINITE), 0; }, 1), -SIGKILL);
}

TEST(Time, FixedAnswersAndNullPointers) {
    SYSTEMTIME past = {1990, 6, 0, 15, 12, 0, 0, 0}, out = past;
    EXPECT_FALSE(SetSystemTime(&past) || SetLocalTime(&past) || SetSystemTimeAdjustment(1, FALSE));
    EXPECT_TRUE(SetSystemTimeAdjustment(12345, TRUE));
    EXPECT_FALSE(SystemTimeToTzSpecificLocalTime(nullptr, &past, &out));
    EXPECT_EQ(Show(out), Show(past));
    DWORD adjustment = 111, increment = 222;
    BOOL disabled = 5;
    EXPECT_TRUE(GetSystemTimeAdjustment(&adjustment, &increment, &disabled));
    EXPECT_EQ(disabled, TRUE);
    EXPECT_TRUE(adjustment == 111 && increment == 222);  // the other two outputs are left alone

    FILETIME ft = Make(kEpoch);
    WORD w;
    time_t t;
    EXPECT_REFUSED(CompareFileTime(nullptr, &ft));
    EXPECT_REFUSED(CompareFileTime(&ft, nullptr));
    EXPECT_REFUSED(FileTimeToSystemTime(&ft, nullptr));
    EXPECT_REFUSED(FileTimeToSystemTime(nullptr, &out));
    EXPECT_REFUSED(SystemTimeToFileTime(&past, nullptr));
    EXPECT_REFUSED(SystemTimeToFileTime(nullptr, &ft));
    EXPECT_REFUSED(FileTimeToDosDateTime(&ft, nullptr, &w));
    EXPECT_REFUSED(FileTimeToDosDateTime(&ft, &w, nullptr));
    EXPECT_REFUSED(DosDateTimeToFileTime(0x305D, 0x6DAF, nullptr));
    EXPECT_REFUSED(FileTimeToLocalFileTime(&ft, nullptr));
    EXPECT_REFUSED(LocalFileTimeToFileTime(nullptr, &ft));
    EXPECT_REFUSED(GetSystemTimeAdjustment(&adjustment, &increment, nullptr));
    UnixToNT(0, nullptr);
    NTToUnix(nullptr, &t);
    NTToUnix(&ft, nullptr);
    GetSystemTime(nullptr);
    GetLocalTime(nullptr);
    GetSystemTimeAsFileTime(nullptr);
}
