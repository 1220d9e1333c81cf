// Time zones: the exported zone table row by row against its reference, and the zone that
// GetTimeZoneInformation reports for real and rule-string zones in both seasons.
#include <windows.h>

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include "tvx_test.h"

namespace {

// Month/weekday/week/hour, "—" for none; a SYSTEMTIME with any other field set shows it.
template <typename D> std::string DateText(const D& d) {
    return d.wMonth == 0 ? "—" : std::to_string(d.wMonth) + "/" + std::to_string(d.wDayOfWeek) + "/" +
                                     std::to_string(d.wDay) + "/" + std::to_string(d.wHour);
}
std::string DateText(const SYSTEMTIME& d) {
    return d.wYear + d.wMinute + d.wSecond + d.wMilliseconds ? "more set" : DateText<SYSTEMTIME>(d);
}

// "bias|standard name|daylight name|standard date|daylight date|standard bias|daylight bias"
template <typename Z> std::string ZoneText(const Z& z) {
    return std::to_string(z.Bias) + "|" + z.StandardName + "|" + z.DaylightName + "|" +
           DateText(z.StandardDate) + "|" + DateText(z.DaylightDate) + "|" + std::to_string(z.StandardBias) +
           "|" + std::to_string(z.DaylightBias);
}

std::string YearsText(const TIME_ZONE_TABLE_ENTRY& row) {
    std::string first = std::to_string(row.FirstYear), last = std::to_string(row.LastYear);
    if (row.FirstYear == -1) return row.LastYear == -1 ? "all" : "to " + last;
    return row.LastYear == -1 ? "from " + first : first + " to " + last;
}

TEST(TimeZones, TableMatchesItsReferenceRowByRow) {
    std::ifstream in(TVX_ZONE_REFERENCE);
    ASSERT_TRUE(in) << TVX_ZONE_REFERENCE;
    // | Row | STD / DST | Bias | Standard name | Daylight name | Standard date | Daylight date | Years |
    const std::regex row_line(R"(^\| (\d+) \| (\S+) / (\S+) \| (-?\d+) \|)"
                              R"( ([^|]+?) *\| ([^|]+?) *\| ([^|]+?) *\| ([^|]+?) *\| ([^|]+?) *\|$)");
    size_t i = 0;
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, row_line) || std::stoul(m[1]) != i + 1) continue;
        const TIME_ZONE_TABLE_ENTRY& row = TimeZoneTable[i++];
        SCOPED_TRACE("row " + std::to_string(i));
        ASSERT_NE(nullptr, row.StandardAbbreviation);
        std::string abbreviations = std::string(row.StandardAbbreviation) + "/" + row.DaylightAbbreviation;
        EXPECT_EQ(m[2].str() + "/" + m[3].str() + " " + m[9].str(), abbreviations + " " + YearsText(row));
        std::string fields = m[4];
        for (int f = 5; f <= 8; ++f) (fields += "|") += m[f].str();
        EXPECT_EQ(fields + "|0|-60", ZoneText(row));
    }
    ASSERT_EQ(94u, i);
    EXPECT_EQ(nullptr, TimeZoneTable[94].StandardAbbreviation);
}

constexpr char kEastern[] = "300|Eastern Standard Time|Eastern Daylight Time|11/0/1/2|3/0/2/2|0|-60";
constexpr char kEasternTo2006[] = "300|Eastern Standard Time|Eastern Daylight Time|10/0/5/2|4/0/1/2|0|-60";
constexpr char kCentral[] = "360|Central Standard Time|Central Daylight Time|11/0/1/2|3/0/2/2|0|-60";
constexpr char kLondon[] = "0|Greenwich Mean Time|British Summer Time|10/0/5/3|3/0/5/2|0|-60";
constexpr char kSydney[] = "-600|Sydney Standard Time|AUS Eastern Daylight Time|3/0/5/2|10/0/5/2|0|-60";
constexpr char kUnknown[] = "0|||—|—|0|0";

// The library's clock reads noon UTC on the 15th of the month.
const struct { const char* tz; int year, month; DWORD result; const char* zone; } kZones[] = {
    {"America/New_York", 2026, 1, TIME_ZONE_ID_STANDARD, kEastern},
    {"America/New_York", 2026, 7, TIME_ZONE_ID_DAYLIGHT, kEastern},
    {"America/New_York", 2005, 1, TIME_ZONE_ID_STANDARD, kEasternTo2006},
    {"Asia/Tokyo", 2026, 7, TIME_ZONE_ID_STANDARD, "-540|Tokyo Standard Time|Tokyo Daylight Time|—|—|0|-60"},
    {"Europe/London", 2026, 1, TIME_ZONE_ID_STANDARD, kLondon},  // before the plain GMT row
    {"Europe/London", 2026, 7, TIME_ZONE_ID_DAYLIGHT, kLondon},
    {"Australia/Sydney", 2026, 7, TIME_ZONE_ID_STANDARD, kSydney},
    {"Australia/Sydney", 2026, 1, TIME_ZONE_ID_DAYLIGHT, kSydney},
    {"CST6CDT,M3.2.0,M11.1.0", 2026, 1, TIME_ZONE_ID_STANDARD, kCentral},  // CST: by the bias
    {"CST-8", 2026, 1, TIME_ZONE_ID_STANDARD, "-480|China Standard Time|China Daylight Time|—|—|0|-60"},
    {"UTC", 2026, 1, TIME_ZONE_ID_UNKNOWN, kUnknown},
    {"EST3", 2026, 1, TIME_ZONE_ID_UNKNOWN, kUnknown},
    {"<ABCDEFGHIJ>3", 2026, 1, TIME_ZONE_ID_INVALID, kUnknown},  // too long for 8 bytes
};

TEST(TimeZones, CurrentZoneIsFoundByAbbreviationBiasAndYearAndCannotBeSet) {
    if (access("/usr/share/zoneinfo/America/New_York", R_OK) != 0) GTEST_SKIP() << "no zone database";
    struct Seen { DWORD result; TIME_ZONE_INFORMATION zone; };
    auto* seen = static_cast<Seen*>(
        mmap(nullptr, sizeof(Seen), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    for (const auto& c : kZones) {
        memset(seen, 0xA5, sizeof *seen);  // a child that fills nothing shows
        EXPECT_EQ(0, tvxtest::ChildExit([&] {
            static struct tm noon = {};
            noon.tm_year = c.year - 1900, noon.tm_mon = c.month - 1, noon.tm_mday = 15, noon.tm_hour = 12;
            setenv("TZ", c.tz, 1), tzset();
            tvxtest::OnHook("timezone-now", [](const void* now) {
                *const_cast<time_t*>(static_cast<const time_t*>(now)) = timegm(&noon);
            });
            seen->result = GetTimeZoneInformation(&seen->zone);
            return 0;
        }));
        std::string result = std::to_string(seen->result) + " " + ZoneText(seen->zone);
        EXPECT_EQ(std::to_string(c.result) + " " + c.zone, result) << c.tz << " " << c.year << "-" << c.month;
    }
    EXPECT_FALSE(SetTimeZoneInformation(&seen->zone));
    EXPECT_EQ(TIME_ZONE_ID_INVALID, GetTimeZoneInformation(nullptr));
    munmap(seen, sizeof(Seen));
}

}  // namespace
