// Time zones: the exported zone table and GetTimeZoneInformation.
//
// The system tells us only the zone's current abbreviation, its current offset from UTC and
// whether daylight saving is in force; the Win32 description (names, transition dates) comes
// from TimeZoneTable, read-only data compiled in, where the pair of abbreviation and offset (and
// the current year, for zones whose rules changed) picks the row. Re-entrant: the table is
// constant and only the thread-safe time functions are used. Calls Strcpy (text/str.cpp).
#include <tarvex/text.h>
#include <tarvex/time.h>

#include <string.h>
#include <time.h>

#include "core/test_hook.h"

namespace tarvex {
namespace {

constexpr size_t kAbbreviationSize = 8;

bool matches(const TIME_ZONE_TABLE_ENTRY& row, const char* abbreviation, long bias, bool daylight,
             int year) {
    const char* name = daylight ? row.DaylightAbbreviation : row.StandardAbbreviation;
    long row_bias = row.Bias + (daylight ? row.DaylightBias : row.StandardBias);
    return name != nullptr && strcmp(name, abbreviation) == 0 && row_bias == bias &&
           (row.FirstYear == -1 || year >= row.FirstYear) &&
           (row.LastYear == -1 || year <= row.LastYear);
}

void copy_date(SYSTEMTIME& to, const TIME_ZONE_DATE& from) {
    to.wMonth = from.wMonth;
    to.wDayOfWeek = from.wDayOfWeek;
    to.wDay = from.wDay;
    to.wHour = from.wHour;
}

}  // namespace
}  // namespace tarvex

using namespace tarvex;

extern "C" {

// Rows that share an abbreviation are told apart by the bias; where a zone's rules changed, by
// the years. The first matching row wins, so the order matters (GMT/BST before GMT/GMT).
constinit const TIME_ZONE_TABLE_ENTRY TimeZoneTable[] = {
    {-1, -1, "FJT", "FJT", -720, "Fiji Standard Time", {0, 0, 0, 0}, 0, "Fiji Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "NST", "NZT", -720, "New Zealand Standard Time", {3, 0, 3, 2}, 0, "New Zealand Daylight Time", {10, 0, 1, 2}, -60},
    {-1, -1, "NZST", "NZDT", -720, "New Zealand Standard Time", {3, 0, 3, 2}, 0, "New Zealand Daylight Time", {10, 0, 1, 2}, -60},
    {-1, -1, "SST", "SST", -660, "Central Pacific Standard Time", {0, 0, 0, 0}, 0, "Central Pacific Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "MAGST", "MAGDT", -660, "Central Pacific Standard Time", {0, 0, 0, 0}, 0, "Central Pacific Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "EST", "EST", -600, "E. Australia Standard Time", {0, 0, 0, 0}, 0, "E. Australia Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "AET", "ADT", -600, "Sydney Standard Time", {3, 0, 5, 2}, 0, "AUS Eastern Daylight Time", {10, 0, 5, 2}, -60},
    {-1, -1, "AEST", "AEDT", -600, "Sydney Standard Time", {3, 0, 5, 2}, 0, "AUS Eastern Daylight Time", {10, 0, 5, 2}, -60},
    {-1, -1, "TST", "TDT", -600, "Tasmania Standard Time", {3, 0, 5, 2}, 0, "Tasmania Daylight Time", {10, 0, 1, 2}, -60},
    {-1, -1, "VLAST", "VLADT", -600, "Vladivostok Standard Time", {10, 0, 5, 3}, 0, "Vladivostok Daylight Time", {3, 0, 5, 2}, -60},
    {-1, -1, "GST", "GST", -600, "West Pacific Standard Time", {0, 0, 0, 0}, 0, "West Pacific Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "ACST", "ACST", -570, "AUS Central Standard Time", {0, 0, 0, 0}, 0, "AUS Central Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "ACST", "ACDT", -570, "AUS Central Standard Time", {0, 0, 0, 0}, 0, "AUS Central Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "CST", "CDT", -570, "Cen. Australia Standard Time", {3, 0, 5, 2}, 0, "Cen. Australia Daylight Time", {10, 0, 5, 2}, -60},
    {-1, -1, "KST", "KDT", -540, "Korea Standard Time", {0, 0, 0, 0}, 0, "Korea Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "JST", "JDT", -540, "Tokyo Standard Time", {0, 0, 0, 0}, 0, "Tokyo Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "YAKST", "YAKDT", -540, "Yakutsk Standard Time", {10, 0, 5, 3}, 0, "Yakutsk Daylight Time", {3, 0, 5, 2}, -60},
    {-1, -1, "CST", "CTT", -480, "China Standard Time", {0, 0, 0, 0}, 0, "China Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "CCT", "CCDT", -480, "China Coast Standard Time", {0, 0, 0, 0}, 0, "China Coast Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "SGT", "SGT", -480, "Singapore Standard Time", {0, 0, 0, 0}, 0, "Singapore Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "TST", "TST", -480, "Taipei Standard Time", {0, 0, 0, 0}, 0, "Taipei Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "WST", "WST", -480, "W. Australia Standard Time", {0, 0, 0, 0}, 0, "W. Australia Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "WST", "WDT", -480, "W. Australia Standard Time", {3, 0, 5, 2}, 0, "W. Australia Daylight Time", {10, 0, 5, 2}, -60},
    {-1, -1, "AWST", "AWDT", -480, "W. Australia Standard Time", {3, 0, 5, 2}, 0, "W. Australia Daylight Time", {10, 0, 5, 2}, -60},
    {-1, -1, "VST", "VDT", -420, "Bangkok Standard Time", {0, 0, 0, 0}, 0, "Bangkok Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "SEAST", "SEADT", -420, "SE Asia Standard Time", {0, 0, 0, 0}, 0, "SE Asia Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "BST", "BDT", -360, "Central Asia Standard Time", {0, 0, 0, 0}, 0, "Central Asia Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "LKT", "LKT", -360, "Sri Lanka Standard Time", {0, 0, 0, 0}, 0, "Sri Lanka Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "IST", "IDT", -330, "India Standard Time", {0, 0, 0, 0}, 0, "India Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "YEKST", "YEKDT", -300, "Ekaterinburg Standard Time", {10, 0, 5, 3}, 0, "Ekaterinburg Daylight Time", {3, 0, 5, 2}, -60},
    {-1, -1, "PKT", "PLT", -300, "West Asia Standard Time", {0, 0, 0, 0}, 0, "West Asia Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "AFT", "AFT", -270, "Afghanistan Standard Time", {0, 0, 0, 0}, 0, "Afghanistan Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "ADT", "ADT", -240, "Arabic Standard Time", {0, 0, 0, 0}, 0, "Arabic Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "GST", "GST", -240, "Arabian Standard Time", {0, 0, 0, 0}, 0, "Arabian Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "NET", "NET", -240, "Arabian Standard Time", {0, 0, 0, 0}, 0, "Arabian Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "AZST", "AZDT", -240, "Caucasus Standard Time", {0, 0, 0, 0}, 0, "Caucasus Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "IRT", "IDT", -210, "Iran Standard Time", {9, 2, 4, 2}, 0, "Iran Daylight Time", {3, 0, 1, 2}, -60},
    {-1, -1, "MET", "MDT", -210, "Iran Standard Time", {9, 2, 4, 2}, 0, "Iran Daylight Time", {3, 0, 1, 2}, -60},
    {-1, -1, "IT", "IDT", -210, "Iran Standard Time", {9, 2, 4, 2}, 0, "Iran Daylight Time", {3, 0, 1, 2}, -60},
    {-1, -1, "EAT", "EDT", -180, "E. Africa Standard Time", {0, 0, 0, 0}, 0, "E. Africa Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "MSK", "MDT", -180, "Moscow Standard Time", {10, 0, 5, 3}, 0, "Moscow Daylight Time", {3, 0, 5, 2}, -60},
    {-1, -1, "AST", "EAT", -180, "Saudi Arabia Standard Time", {0, 0, 0, 0}, 0, "Arab Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "EET", "EEST", -120, "E. Europe Standard Time", {9, 0, 5, 1}, 0, "E. Europe Daylight Time", {3, 0, 5, 0}, -60},
    {-1, -1, "FLET", "FLET", -120, "FLE Standard Time", {10, 0, 5, 4}, 0, "FLE Daylight Time", {3, 5, 3, 0}, -60},
    {-1, -1, "GFT", "GTB", -120, "GFT Standard Time", {10, 0, 5, 3}, 0, "GTB Daylight Time", {3, 0, 5, 2}, -60},
    {-1, -1, "IST", "IDT", -120, "Israel Standard Time", {0, 0, 0, 0}, 0, "Israel Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "MET", "METDST", -120, "Middle Europe Time", {0, 0, 0, 0}, 0, "Middle Europe Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "MET", "MEWT", -120, "Middle Europe Time", {0, 0, 0, 0}, 0, "Middle Europe Winter Time", {0, 0, 0, 0}, -60},
    {-1, -1, "CAT", "CAT", -120, "South Africa Standard Time", {0, 0, 0, 0}, 0, "South Africa Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "DNT", "DST", -60, "Dansk Normal Time", {0, 0, 0, 0}, 0, "Dansk Standard Time", {0, 0, 0, 0}, -60},
    {-1, -1, "CET", "CEST", -60, "Central Europe Standard Time", {10, 0, 5, 3}, 0, "Central Europe Daylight Time", {3, 0, 5, 2}, -60},
    {-1, -1, "ECT", "EDT", -60, "Romance Standard Time", {10, 0, 5, 3}, 0, "Romance Daylight Time", {3, 0, 5, 2}, -60},
    {-1, -1, "WET", "WEST", -60, "W. Europe Standard Time", {10, 0, 5, 3}, 0, "W. Europe Daylight Time", {3, 0, 5, 2}, -60},
    {-1, -1, "WET", "WETDST", -60, "W. Europe Standard Time", {10, 0, 5, 3}, 0, "W. Europe Daylight Time", {3, 0, 5, 2}, -60},
    {-1, -1, "GMT", "BST", 0, "Greenwich Mean Time", {10, 0, 5, 3}, 0, "British Summer Time", {3, 0, 5, 2}, -60},
    {-1, -1, "GMT", "GMT", 0, "Greenwich Standard Time", {0, 0, 0, 0}, 0, "Greenwich Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "AZOST", "AZODT", 60, "Azores Standard Time", {10, 0, 5, 3}, 0, "Azores Daylight Time", {3, 0, 5, 2}, -60},
    {-1, -1, "CAT", "CDT", 60, "Azores Standard Time", {10, 0, 5, 3}, 0, "Azores Daylight Time", {3, 0, 5, 2}, -60},
    {-1, -1, "GST", "GDT", 120, "Mid-Atlantic Standard Time", {9, 0, 5, 2}, 0, "Mid-Atlantic Daylight Time", {3, 0, 5, 2}, -60},
    {-1, -1, "BET", "BET", 180, "E. South America Standard Time", {2, 0, 2, 2}, 0, "E. South America Daylight Time", {10, 0, 3, 2}, -60},
    {-1, -1, "BRT", "BRT", 180, "E. South America Standard Time", {2, 0, 2, 2}, 0, "E. South America Daylight Time", {10, 0, 3, 2}, -60},
    {-1, -1, "AGT", "ART", 180, "SA Eastern Standard Time", {0, 0, 0, 0}, 0, "SA Eastern Daylight Time", {0, 0, 0, 0}, -60},
    {-1, 2006, "NST", "NDT", 210, "Newfoundland Standard Time", {10, 0, 5, 2}, 0, "Newfoundland Daylight Time", {4, 0, 1, 2}, -60},
    {2007, -1, "NST", "NDT", 210, "Newfoundland Standard Time", {11, 0, 1, 2}, 0, "Newfoundland Daylight Time", {3, 0, 2, 2}, -60},
    {-1, -1, "CNT", "NFT", 210, "Newfoundland Time", {0, 0, 0, 0}, 0, "Newfoundland Time", {0, 0, 0, 0}, -60},
    {-1, 2006, "AST", "ADT", 240, "Atlantic Standard Time", {10, 0, 5, 2}, 0, "Atlantic Daylight Time", {4, 0, 1, 2}, -60},
    {2007, -1, "AST", "ADT", 240, "Atlantic Standard Time", {11, 0, 1, 2}, 0, "Atlantic Daylight Time", {3, 0, 2, 2}, -60},
    {-1, 2006, "PRT", "PDT", 240, "Atlantic Standard Time", {10, 0, 5, 2}, 0, "Atlantic Daylight Time", {4, 0, 1, 2}, -60},
    {2007, -1, "PRT", "PDT", 240, "Atlantic Standard Time", {11, 0, 1, 2}, 0, "Atlantic Daylight Time", {3, 0, 2, 2}, -60},
    {-1, -1, "VET", "VET", 240, "SA Western Standard Time", {0, 0, 0, 0}, 0, "SA Western Daylight Time", {0, 0, 0, 0}, -60},
    {-1, 2006, "EST", "EDT", 300, "Eastern Standard Time", {10, 0, 5, 2}, 0, "Eastern Daylight Time", {4, 0, 1, 2}, -60},
    {2007, -1, "EST", "EDT", 300, "Eastern Standard Time", {11, 0, 1, 2}, 0, "Eastern Daylight Time", {3, 0, 2, 2}, -60},
    {-1, -1, "ET", "ET", 300, "US Eastern Time", {0, 0, 0, 0}, 0, "US Eastern Time", {0, 0, 0, 0}, -60},
    {-1, -1, "COT", "COT", 300, "SA Pacific Standard Time", {0, 0, 0, 0}, 0, "SA Pacific Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "CCST", "CCDT", 360, "Canada Central Standard Time", {0, 0, 0, 0}, 0, "Canada Central Daylight Time", {0, 0, 0, 0}, -60},
    {-1, 2006, "CST", "CDT", 360, "Central Standard Time", {10, 0, 5, 2}, 0, "Central Daylight Time", {4, 0, 1, 2}, -60},
    {2007, -1, "CST", "CDT", 360, "Central Standard Time", {11, 0, 1, 2}, 0, "Central Daylight Time", {3, 0, 2, 2}, -60},
    {-1, -1, "CT", "CT", 360, "US Central Time", {0, 0, 0, 0}, 0, "US Central Time", {0, 0, 0, 0}, -60},
    {-1, -1, "MMST", "MMST", 360, "Mexico Standard Time", {0, 0, 0, 0}, 0, "Mexico Daylight Time", {0, 0, 0, 0}, -60},
    {-1, 2006, "MST", "MDT", 420, "Mountain Standard Time", {10, 0, 5, 2}, 0, "Mountain Daylight Time", {4, 0, 1, 2}, -60},
    {2007, -1, "MST", "MDT", 420, "Mountain Standard Time", {11, 0, 1, 2}, 0, "Mountain Daylight Time", {3, 0, 2, 2}, -60},
    {-1, -1, "MT", "MT", 420, "US Mountain Time", {0, 0, 0, 0}, 0, "US Mountain Time", {0, 0, 0, 0}, -60},
    {-1, 2006, "PST", "PDT", 480, "Pacific Standard Time", {10, 0, 5, 2}, 0, "Pacific Daylight Time", {4, 0, 1, 2}, -60},
    {2007, -1, "PST", "PDT", 480, "Pacific Standard Time", {11, 0, 1, 2}, 0, "Pacific Daylight Time", {3, 0, 2, 2}, -60},
    {-1, -1, "PT", "PT", 480, "US Pacific Time", {0, 0, 0, 0}, 0, "US Pacific Time", {0, 0, 0, 0}, -60},
    {-1, 2006, "AKST", "AKDT", 540, "Alaskan Standard Time", {10, 0, 5, 2}, 0, "Alaskan Daylight Time", {4, 0, 1, 2}, -60},
    {2007, -1, "AKST", "AKDT", 540, "Alaskan Standard Time", {11, 0, 1, 2}, 0, "Alaskan Daylight Time", {3, 0, 2, 2}, -60},
    {-1, 2006, "AST", "ADT", 540, "Alaskan Standard Time", {10, 0, 5, 2}, 0, "Alaskan Daylight Time", {4, 0, 1, 2}, -60},
    {2007, -1, "AST", "ADT", 540, "Alaskan Standard Time", {11, 0, 1, 2}, 0, "Alaskan Daylight Time", {3, 0, 2, 2}, -60},
    {-1, -1, "CAT", "CDT", 600, "Central Alaska Time", {0, 0, 0, 0}, 0, "Central Alaska Time", {0, 0, 0, 0}, -60},
    {-1, -1, "HST", "HDT", 600, "Hawaiian Standard Time", {0, 0, 0, 0}, 0, "Hawaiian Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "AHST", "AHDT", 600, "Alaska-Hawaii Standard Time", {0, 0, 0, 0}, 0, "Alaska-Hawaii Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "SST", "MIT", 660, "Samoa Standard Time", {0, 0, 0, 0}, 0, "Samoa Daylight Time", {0, 0, 0, 0}, -60},
    {-1, -1, "MHT", "MHT", 720, "Dateline Standard Time", {0, 0, 0, 0}, 0, "Dateline Daylight Time", {0, 0, 0, 0}, -60},
    {0, 0, nullptr, nullptr, 0, nullptr, {0, 0, 0, 0}, 0, nullptr, {0, 0, 0, 0}, 0},
};

TARVEX_API DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION zone) {
    if (zone == nullptr) return TIME_ZONE_ID_INVALID;
    memset(zone, 0, sizeof *zone);
    time_t now = time(nullptr);
    test_hook("timezone-now", &now);  // lets a test pick the season
    struct tm local;
    if (localtime_r(&now, &local) == nullptr) return TIME_ZONE_ID_INVALID;
    // The offset the system applies now, east of UTC; the bias is minutes west. tm_gmtoff is
    // exact where re-converting a broken-down time with mktime would guess near a transition.
    long bias = -(local.tm_gmtoff / 60);
    char abbreviation[kAbbreviationSize];
    if (strftime(abbreviation, sizeof abbreviation, "%Z", &local) == 0) return TIME_ZONE_ID_INVALID;
    bool daylight = local.tm_isdst > 0;
    int year = local.tm_year + 1900;
    const TIME_ZONE_TABLE_ENTRY* row = TimeZoneTable;
    while (row->StandardAbbreviation != nullptr && !matches(*row, abbreviation, bias, daylight, year))
        ++row;
    if (row->StandardAbbreviation == nullptr) return TIME_ZONE_ID_UNKNOWN;
    zone->Bias = row->Bias;
    Strcpy(zone->StandardName, row->StandardName, sizeof zone->StandardName);
    Strcpy(zone->DaylightName, row->DaylightName, sizeof zone->DaylightName);
    copy_date(zone->StandardDate, row->StandardDate);
    copy_date(zone->DaylightDate, row->DaylightDate);
    zone->StandardBias = row->StandardBias;
    zone->DaylightBias = row->DaylightBias;
    return daylight ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

TARVEX_API BOOL SetTimeZoneInformation(const TIME_ZONE_INFORMATION*) { return FALSE; }

}  // extern "C"
