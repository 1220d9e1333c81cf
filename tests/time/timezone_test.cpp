// Time zones: the exported zone table row by row against its reference, and the zone that
// GetTimeZoneInformation reports for real and rule-string zones in both seasons.
#include <windows.h>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tvx_test.h"

namespace {

time_t g_now = 0;  // the clock the library sees, 0: the real one

void PickNow(const void* now) {
    if (g_now != 0) *const_cast<time_t*>(static_cast<const time_t*>(now)) = g_now;
}

// Noon UTC of a day.
time_t Day(int year, int month, int day) {
    struct tm t = {};
    t.tm_year = year - 1900, t.tm_mon = month - 1, t.tm_mday = day, t.tm_hour = 12;
    return timegm(&t);
}

struct Date { int month, weekday, week, hour; };

std::string DateText(const Date& d) {
    return d.month == 0 ? "—" : std::to_string(d.month) + "/" + std::to_string(d.weekday) + "/" +
                                    std::to_string(d.week) + "/" + std::to_string(d.hour);
}
std::string DateText(const TIME_ZONE_DATE& d) {
    return DateText(Date{d.wMonth, d.wDayOfWeek, d.wDay, d.wHour});
}
std::string DateText(const SYSTEMTIME& d) {
    return DateText(Date{d.wMonth, d.wDayOfWeek, d.wDay, d.wHour});
}

std::string YearsText(const TIME_ZONE_TABLE_ENTRY& row) {
    if (row.FirstYear == -1 && row.LastYear == -1) return "all";
    if (row.FirstYear == -1) return "to " + std::to_string(row.LastYear);
    if (row.LastYear == -1) return "from " + std::to_string(row.FirstYear);
    return std::to_string(row.FirstYear) + " to " + std::to_string(row.LastYear);
}

TEST(TimeZones, TableMatchesItsReferenceRowByRow) {
#ifndef TVX_ZONE_REFERENCE
    GTEST_SKIP() << "no zone reference configured";
#else
    std::ifstream in(TVX_ZONE_REFERENCE);
    if (!in) GTEST_SKIP() << "zone reference " << TVX_ZONE_REFERENCE << " is missing";
    // | Row | STD / DST | Bias | Standard name | Daylight name | Standard date | Daylight date | Years |
    const std::regex row_line(
        R"(^\| (\d+) \| (\S+) / (\S+) \| (-?\d+) \| ([^|]+) \| ([^|]+) \| ([^|]+) \| ([^|]+) \| ([^|]+) \|$)");
    std::vector<std::smatch> rows;
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    size_t expected = 1;
    for (const std::string& line : lines) {
        std::smatch m;
        if (std::regex_match(line, m, row_line) && std::stoul(m[1]) == expected) {
            rows.push_back(m), ++expected;
        }
    }
    ASSERT_EQ(94u, rows.size());
    auto trim = [](std::string s) { return s.substr(0, s.find_last_not_of(' ') + 1); };
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::smatch& m = rows[i];
        const TIME_ZONE_TABLE_ENTRY& row = TimeZoneTable[i];
        SCOPED_TRACE("row " + std::to_string(i + 1));
        ASSERT_NE(nullptr, row.StandardAbbreviation);
        EXPECT_EQ(m[2].str(), row.StandardAbbreviation);
        EXPECT_EQ(m[3].str(), row.DaylightAbbreviation);
        EXPECT_EQ(std::stoi(m[4]), row.Bias);
        EXPECT_EQ(trim(m[5]), row.StandardName);
        EXPECT_EQ(trim(m[6]), row.DaylightName);
        EXPECT_EQ(trim(m[7]), DateText(row.StandardDate));
        EXPECT_EQ(trim(m[8]), DateText(row.DaylightDate));
        EXPECT_EQ(trim(m[9]), YearsText(row));
        EXPECT_EQ(0, row.StandardBias);
        EXPECT_EQ(-60, row.DaylightBias);
    }
    const TIME_ZONE_TABLE_ENTRY& end = TimeZoneTable[94];
    EXPECT_EQ(nullptr, end.StandardAbbreviation);
    EXPECT_EQ(nullptr, end.DaylightAbbreviation);
    EXPECT_EQ(nullptr, end.StandardName);
    EXPECT_EQ(0, end.Bias);
#endif
}

struct ZoneCase {
    const char* tz;
    time_t now;
    DWORD result;
    LONG bias;
    const char* standard_name;
    const char* daylight_name;
    Date standard_date, daylight_date;
};

// What a child process with TZ set and the library's clock at `now` is told.
struct Seen {
    DWORD result;
    TIME_ZONE_INFORMATION zone;
};

Seen ZoneSeenIn(const ZoneCase& c) {
    auto* seen = static_cast<Seen*>(
        mmap(nullptr, sizeof(Seen), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    memset(seen, 0xA5, sizeof *seen);  // a child that fills nothing shows
    EXPECT_EQ(0, tvxtest::ChildExit([&] {
        setenv("TZ", c.tz, 1), tzset();
        g_now = c.now;
        tvxtest::OnHook("timezone-now", PickNow);
        seen->result = GetTimeZoneInformation(&seen->zone);
        return 0;
    }));
    Seen copy = *seen;
    munmap(seen, sizeof(Seen));
    return copy;
}

constexpr Date kNone = {0, 0, 0, 0};
constexpr Date kUsStandard = {11, 0, 1, 2}, kUsDaylight = {3, 0, 2, 2};
constexpr Date kUsOldStandard = {10, 0, 5, 2}, kUsOldDaylight = {4, 0, 1, 2};
constexpr Date kEuStandard = {10, 0, 5, 3}, kEuDaylight = {3, 0, 5, 2};
constexpr Date kAuStandard = {3, 0, 5, 2}, kAuDaylight = {10, 0, 5, 2};

const ZoneCase kZones[] = {
    {"America/New_York", Day(2026, 1, 15), TIME_ZONE_ID_STANDARD, 300, "Eastern Standard Time",
     "Eastern Daylight Time", kUsStandard, kUsDaylight},
    {"America/New_York", Day(2026, 7, 15), TIME_ZONE_ID_DAYLIGHT, 300, "Eastern Standard Time",
     "Eastern Daylight Time", kUsStandard, kUsDaylight},
    // The rules before 2007 come from the older row of the same abbreviations.
    {"America/New_York", Day(2005, 1, 15), TIME_ZONE_ID_STANDARD, 300, "Eastern Standard Time",
     "Eastern Daylight Time", kUsOldStandard, kUsOldDaylight},
    {"Asia/Tokyo", Day(2026, 7, 15), TIME_ZONE_ID_STANDARD, -540, "Tokyo Standard Time",
     "Tokyo Daylight Time", kNone, kNone},
    // GMT with offset 0 is the British row, which comes before the plain Greenwich one.
    {"Europe/London", Day(2026, 1, 15), TIME_ZONE_ID_STANDARD, 0, "Greenwich Mean Time",
     "British Summer Time", kEuStandard, kEuDaylight},
    {"Europe/London", Day(2026, 7, 15), TIME_ZONE_ID_DAYLIGHT, 0, "Greenwich Mean Time",
     "British Summer Time", kEuStandard, kEuDaylight},
    {"Australia/Sydney", Day(2026, 7, 15), TIME_ZONE_ID_STANDARD, -600, "Sydney Standard Time",
     "AUS Eastern Daylight Time", kAuStandard, kAuDaylight},
    {"Australia/Sydney", Day(2026, 1, 15), TIME_ZONE_ID_DAYLIGHT, -600, "Sydney Standard Time",
     "AUS Eastern Daylight Time", kAuStandard, kAuDaylight},
    // CST is told apart by the bias.
    {"CST6CDT,M3.2.0,M11.1.0", Day(2026, 1, 15), TIME_ZONE_ID_STANDARD, 360,
     "Central Standard Time", "Central Daylight Time", kUsStandard, kUsDaylight},
    {"CST-8", Day(2026, 1, 15), TIME_ZONE_ID_STANDARD, -480, "China Standard Time",
     "China Daylight Time", kNone, kNone},
    // Zones the table does not know: all zero.
    {"UTC", Day(2026, 1, 15), TIME_ZONE_ID_UNKNOWN, 0, "", "", kNone, kNone},
    {"EST3", Day(2026, 1, 15), TIME_ZONE_ID_UNKNOWN, 0, "", "", kNone, kNone},
    // An abbreviation too long for the 8-byte buffer.
    {"<ABCDEFGHIJ>3", Day(2026, 1, 15), TIME_ZONE_ID_INVALID, 0, "", "", kNone, kNone},
};

TEST(TimeZones, CurrentZoneIsFoundByAbbreviationBiasAndYear) {
    if (access("/usr/share/zoneinfo/America/New_York", R_OK) != 0)
        GTEST_SKIP() << "the system has no zone database";
    for (const ZoneCase& c : kZones) {
        SCOPED_TRACE(std::string(c.tz) + " at " + std::to_string(c.now));
        Seen seen = ZoneSeenIn(c);
        EXPECT_EQ(c.result, seen.result);
        EXPECT_EQ(c.bias, seen.zone.Bias);
        EXPECT_STREQ(c.standard_name, seen.zone.StandardName);
        EXPECT_STREQ(c.daylight_name, seen.zone.DaylightName);
        EXPECT_EQ(DateText(c.standard_date), DateText(seen.zone.StandardDate));
        EXPECT_EQ(DateText(c.daylight_date), DateText(seen.zone.DaylightDate));
        bool known = c.result == TIME_ZONE_ID_STANDARD || c.result == TIME_ZONE_ID_DAYLIGHT;
        EXPECT_EQ(0, seen.zone.StandardBias);
        EXPECT_EQ(known ? -60 : 0, seen.zone.DaylightBias);
        // Only month, weekday, week and hour are ever set.
        for (const SYSTEMTIME& d : {seen.zone.StandardDate, seen.zone.DaylightDate})
            EXPECT_EQ(0, d.wYear + d.wMinute + d.wSecond + d.wMilliseconds);
    }
}

TEST(TimeZones, SettingTheZoneChangesNothing) {
    TIME_ZONE_INFORMATION zone = {};
    EXPECT_FALSE(SetTimeZoneInformation(&zone));
    EXPECT_EQ(TIME_ZONE_ID_INVALID, GetTimeZoneInformation(nullptr));
}

}  // namespace
