// Bounded copies and appends, the formatter, the tokenizer, the case-insensitive searches and the
// case conversions. Destinations sit between guard bytes so that a write at or past the size, or
// in front of the buffer, shows up as a changed guard.
#include <windows.h>

#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "tvx_test.h"

namespace {

constexpr char kGuard = '\xA5';
constexpr int kGuardBytes = 16;

// `size` usable bytes preset to `fill`, with guard bytes on both sides.
class GuardedBuffer {
public:
    explicit GuardedBuffer(int size, char fill = 'x')
        : size_(size), bytes_(static_cast<size_t>(size + 2 * kGuardBytes), kGuard) {
        memset(data(), fill, static_cast<size_t>(size));
    }
    GuardedBuffer(int size, const char* contents, char fill = 'x') : GuardedBuffer(size, fill) {
        memcpy(data(), contents, strlen(contents) + 1);
    }
    char* data() { return bytes_.data() + kGuardBytes; }
    char& operator[](int i) { return data()[i]; }
    std::string str() { return std::string(data()); }
    bool GuardsIntact() const {
        for (int i = 0; i < kGuardBytes; ++i) {
            if (bytes_[static_cast<size_t>(i)] != kGuard) return false;
            if (bytes_[static_cast<size_t>(kGuardBytes + size_ + i)] != kGuard) return false;
        }
        return true;
    }

private:
    int size_;
    std::vector<char> bytes_;
};

TEST(Strcpy, CutsAtSizeAndAlwaysTerminates) {
    {
        GuardedBuffer b(4);
        EXPECT_EQ(Strcpy(b.data(), "abcde", 4), b.data());
        EXPECT_EQ(b.str(), "abc");
        EXPECT_TRUE(b.GuardsIntact());
    }
    {  // one character too many for the buffer
        GuardedBuffer b(4);
        Strcpy(b.data(), "abcd", 4);
        EXPECT_EQ(b.str(), "abc");
        EXPECT_TRUE(b.GuardsIntact());
    }
    {  // exact fit, terminator in the last byte
        GuardedBuffer b(4);
        Strcpy(b.data(), "abc", 4);
        EXPECT_EQ(b.str(), "abc");
        EXPECT_TRUE(b.GuardsIntact());
    }
    {  // size 1 leaves only the terminator
        GuardedBuffer b(1);
        Strcpy(b.data(), "abc", 1);
        EXPECT_EQ(b[0], '\0');
        EXPECT_TRUE(b.GuardsIntact());
    }
}

TEST(Strcpy, ShortSourceKeepsOldBytesAndZeroesTheLastByte) {
    GuardedBuffer b(8);
    Strcpy(b.data(), "ab", 8);
    EXPECT_EQ(b.str(), "ab");
    for (int i = 3; i < 7; ++i) EXPECT_EQ(b[i], 'x') << "byte " << i;
    EXPECT_EQ(b[7], '\0');
    EXPECT_TRUE(b.GuardsIntact());

    GuardedBuffer empty(3);
    Strcpy(empty.data(), "", 3);
    EXPECT_EQ(empty[0], '\0');
    EXPECT_EQ(empty[1], 'x');
    EXPECT_EQ(empty[2], '\0');
}

TEST(Strcpy, MovesOverlappingAreasLikeMemmove) {
    {  // source after destination
        GuardedBuffer b(20, "0123456789");
        Strcpy(b.data(), b.data() + 3, 20);
        EXPECT_EQ(b.str(), "3456789");
    }
    {  // source before destination: a forward byte copy would repeat "ab"
        GuardedBuffer b(20, "abcdef");
        Strcpy(b.data() + 2, b.data(), 18);
        EXPECT_EQ(b.str(), "ababcdef");
        EXPECT_TRUE(b.GuardsIntact());
    }
    {  // overlapping and cut
        GuardedBuffer b(10, "abcdefgh");
        Strcpy(b.data() + 1, b.data(), 5);
        EXPECT_EQ(b.str(), "aabcd");
        EXPECT_EQ(b[6], 'g');
        EXPECT_TRUE(b.GuardsIntact());
    }
}

TEST(Strcpy, InvalidArgumentsWriteNothing) {
    GuardedBuffer b(8);
    EXPECT_EQ(Strcpy(b.data(), "abc", 0), b.data());
    EXPECT_EQ(Strcpy(b.data(), "abc", -5), b.data());
    EXPECT_EQ(Strcpy(b.data(), nullptr, 8), b.data());
    EXPECT_EQ(Strcpy(nullptr, "abc", 8), nullptr);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(b[i], 'x') << "byte " << i;
    EXPECT_TRUE(b.GuardsIntact());
}

TEST(Strncpy, CopiesAtMostCountAndNeverTerminatesOrPads) {
    {  // source as long as count: copied, not terminated
        GuardedBuffer b(8);
        EXPECT_EQ(Strncpy(b.data(), "abc", 3), b.data());
        EXPECT_EQ(std::string(b.data(), 4), "abcx");
    }
    {  // longer source: cut at count, not terminated
        GuardedBuffer b(8);
        Strncpy(b.data(), "abcdefgh", 5);
        EXPECT_EQ(std::string(b.data(), 6), "abcdex");
    }
    {  // shorter source: its terminator is copied, nothing after it is filled
        GuardedBuffer b(8);
        Strncpy(b.data(), "ab", 6);
        EXPECT_EQ(b.str(), "ab");
        for (int i = 3; i < 8; ++i) EXPECT_EQ(b[i], 'x') << "byte " << i;
    }
    {  // count 0 and a negative count write nothing
        GuardedBuffer b(4);
        Strncpy(b.data(), "ab", 0);
        Strncpy(b.data(), "ab", -1);
        EXPECT_EQ(std::string(b.data(), 4), "xxxx");
        EXPECT_TRUE(b.GuardsIntact());
    }
    {  // overlapping areas
        GuardedBuffer b(12, "abcdef");
        Strncpy(b.data() + 2, b.data(), 4);
        EXPECT_EQ(b.str(), "ababcd");
    }
}

TEST(StrncpyEx, KeepsOneCharacterLessThanTheSmallerLimit) {
    {  // count smaller than size
        GuardedBuffer b(100);
        EXPECT_EQ(StrncpyEx(b.data(), "abcdef", 3, 100), b.data());
        EXPECT_EQ(b.str(), "ab");
        EXPECT_EQ(b[3], 'x');  // nothing beyond count
        EXPECT_TRUE(b.GuardsIntact());
    }
    {  // size smaller than count
        GuardedBuffer b(4);
        StrncpyEx(b.data(), "abcdef", 50, 4);
        EXPECT_EQ(b.str(), "abc");
        EXPECT_TRUE(b.GuardsIntact());
    }
    {  // short source: copied whole, last byte of the limit zeroed
        GuardedBuffer b(6);
        StrncpyEx(b.data(), "ab", 6, 6);
        EXPECT_EQ(b.str(), "ab");
        EXPECT_EQ(b[4], 'x');
        EXPECT_EQ(b[5], '\0');
    }
    {  // count 1: empty result
        GuardedBuffer b(4);
        StrncpyEx(b.data(), "abc", 1, 4);
        EXPECT_EQ(b[0], '\0');
        EXPECT_EQ(b[1], 'x');
    }
    {  // a limit below 1 writes nothing
        GuardedBuffer b(4);
        StrncpyEx(b.data(), "abc", 0, 4);
        StrncpyEx(b.data(), "abc", 4, -1);
        EXPECT_EQ(std::string(b.data(), 4), "xxxx");
        EXPECT_TRUE(b.GuardsIntact());
    }
}

TEST(Strcat, AppendsWithinSizeAndCutsWhatDoesNotFit) {
    {
        GuardedBuffer b(8, "ab");
        EXPECT_EQ(Strcat(b.data(), "cd", 8), b.data());
        EXPECT_EQ(b.str(), "abcd");
        EXPECT_EQ(b[5], 'x');
        EXPECT_EQ(b[7], '\0');
        EXPECT_TRUE(b.GuardsIntact());
    }
    {  // exact fit
        GuardedBuffer b(5, "ab");
        Strcat(b.data(), "cd", 5);
        EXPECT_EQ(b.str(), "abcd");
        EXPECT_TRUE(b.GuardsIntact());
    }
    {  // one too many
        GuardedBuffer b(5, "ab");
        Strcat(b.data(), "cde", 5);
        EXPECT_EQ(b.str(), "abcd");
        EXPECT_TRUE(b.GuardsIntact());
    }
    {  // long source
        GuardedBuffer b(5, "a");
        Strcat(b.data(), "bcdefghijk", 5);
        EXPECT_EQ(b.str(), "abcd");
        EXPECT_TRUE(b.GuardsIntact());
    }
    {  // empty destination, size 1
        GuardedBuffer b(1, "");
        Strcat(b.data(), "abc", 1);
        EXPECT_EQ(b[0], '\0');
        EXPECT_TRUE(b.GuardsIntact());
    }
}

TEST(Strcat, FullOrOverfullDestinationGetsNothingAndIsCut) {
    {  // already size - 1 characters
        GuardedBuffer b(5, "abcd");
        Strcat(b.data(), "xyz", 5);
        EXPECT_EQ(b.str(), "abcd");
        EXPECT_TRUE(b.GuardsIntact());
    }
    {  // longer than size - 1 (the real buffer is larger than the size passed)
        GuardedBuffer b(10, "abcdefg");
        Strcat(b.data(), "xyz", 5);
        EXPECT_EQ(b.str(), "abcd");
        EXPECT_EQ(b[5], 'f');  // nothing at or beyond the size
        EXPECT_EQ(b[6], 'g');
        EXPECT_EQ(b[7], '\0');
    }
}

TEST(Strcat, InvalidArgumentsWriteNothing) {
    GuardedBuffer b(8, "ab");
    Strcat(b.data(), "cd", 0);
    Strcat(b.data(), "cd", -1);
    Strcat(b.data(), nullptr, 8);
    EXPECT_EQ(Strcat(nullptr, "cd", 8), nullptr);
    EXPECT_EQ(std::string(b.data(), 8), std::string("ab\0xxxxx", 8));
    EXPECT_TRUE(b.GuardsIntact());
}

TEST(Strncat, AppendsAtMostCountAndTerminatesAfterThem) {
    {  // count 2 from a longer source into a large buffer
        GuardedBuffer b(20, "ab");
        EXPECT_EQ(Strncat(b.data(), "wxyz", 2, 20), b.data());
        EXPECT_EQ(b.str(), "abwx");
        EXPECT_EQ(b[5], 'x');
        EXPECT_TRUE(b.GuardsIntact());
    }
    {  // source shorter than count: its own terminator ends the string, and a second NUL
       // lands at old length + count, inside the buffer
        GuardedBuffer b(20, "ab", 'q');
        Strncat(b.data(), "x", 5, 20);
        EXPECT_EQ(b.str(), "abx");
        EXPECT_EQ(b[4], 'q');
        EXPECT_EQ(b[5], 'q');
        EXPECT_EQ(b[6], 'q');
        EXPECT_EQ(b[7], '\0');
        EXPECT_EQ(b[8], 'q');
        EXPECT_TRUE(b.GuardsIntact());
    }
    {  // size smaller than what count allows
        GuardedBuffer b(5, "ab");
        Strncat(b.data(), "wxyz", 10, 5);
        EXPECT_EQ(b.str(), "abwx");
        EXPECT_TRUE(b.GuardsIntact());
    }
    {  // count and size both exactly fit
        GuardedBuffer b(5, "ab");
        Strncat(b.data(), "wxyz", 2, 5);
        EXPECT_EQ(b.str(), "abwx");
        EXPECT_TRUE(b.GuardsIntact());
    }
    {  // full destination: nothing appended, cut to size - 1
        GuardedBuffer b(4, "abc");
        Strncat(b.data(), "z", 1, 4);
        EXPECT_EQ(b.str(), "abc");
        EXPECT_TRUE(b.GuardsIntact());
    }
    {  // overfull destination in a larger real buffer
        GuardedBuffer b(10, "abcdefg");
        Strncat(b.data(), "z", 3, 4);
        EXPECT_EQ(b.str(), "abc");
        EXPECT_EQ(b[4], 'e');
    }
    {  // count 0 appends nothing
        GuardedBuffer b(8, "ab");
        Strncat(b.data(), "cd", 0, 8);
        EXPECT_EQ(b.str(), "ab");
        EXPECT_EQ(b[3], 'x');
    }
    {  // huge count does not wrap the terminator's position
        GuardedBuffer b(8, "ab");
        Strncat(b.data(), "cdefghij", 0x7FFFFFFF, 8);
        EXPECT_EQ(b.str(), "abcdefg");
        EXPECT_TRUE(b.GuardsIntact());
    }
}

TEST(Strncat, InvalidArgumentsWriteNothing) {
    GuardedBuffer b(8, "abcde");
    Strncat(b.data(), "z", 1, 0);
    Strncat(b.data(), "z", -3, 8);  // would otherwise cut inside the old contents
    Strncat(b.data(), nullptr, 1, 8);
    EXPECT_EQ(Strncat(nullptr, "z", 1, 8), nullptr);
    EXPECT_EQ(b.str(), "abcde");
    EXPECT_TRUE(b.GuardsIntact());
}

TEST(Snprintf, CutsAtSizeAndReturnsTheFullLength) {
    {
        GuardedBuffer b(5);
        EXPECT_EQ(Snprintf(b.data(), 5, "%s%d", "abcdefgh", 9), 9);
        EXPECT_EQ(b.str(), "abcd");
        EXPECT_TRUE(b.GuardsIntact());
    }
    {  // exact fit
        GuardedBuffer b(10);
        EXPECT_EQ(Snprintf(b.data(), 10, "%d-%s", 1234, "abcd"), 9);
        EXPECT_EQ(b.str(), "1234-abcd");
        EXPECT_TRUE(b.GuardsIntact());
    }
    {  // size 1
        GuardedBuffer b(1);
        EXPECT_EQ(Snprintf(b.data(), 1, "%s", "abc"), 3);
        EXPECT_EQ(b[0], '\0');
        EXPECT_TRUE(b.GuardsIntact());
    }
    {  // empty output
        GuardedBuffer b(4);
        EXPECT_EQ(Snprintf(b.data(), 4, "%s", ""), 0);
        EXPECT_EQ(b[0], '\0');
        EXPECT_EQ(b[3], '\0');
    }
}

TEST(Snprintf, FormatterErrorReturnsWhatStandsInTheBuffer) {
    // A wide character the C locale cannot encode makes the system formatter fail part-way.
    setlocale(LC_ALL, "C");
    GuardedBuffer b(16);
    int length = Snprintf(b.data(), 16, "ab%lcxyz", static_cast<wint_t>(0x1234));
    EXPECT_GE(length, 0);
    EXPECT_EQ(length, static_cast<int>(strlen(b.data())));
    EXPECT_EQ(b[15], '\0');
    EXPECT_TRUE(b.GuardsIntact());
}

TEST(Snprintf, NoBufferOrSizeBelowOneWritesNothingButMeasures) {
    GuardedBuffer b(4);
    EXPECT_EQ(Snprintf(b.data(), 0, "%s", "abcdef"), 6);
    EXPECT_EQ(Snprintf(b.data(), -1, "%s", "abcdef"), 6);
    EXPECT_EQ(Snprintf(nullptr, 4, "%s", "abcdef"), 6);
    EXPECT_EQ(std::string(b.data(), 4), "xxxx");
    EXPECT_TRUE(b.GuardsIntact());
}

TEST(Strtok, SplitsInPlaceAndKeepsThePositionInTheCaller) {
    char text[] = ",,a,b";
    char* next = nullptr;
    char found = '?';

    char* token = Strtok(text, ",", &next, &found);
    ASSERT_EQ(token, text + 2);
    EXPECT_STREQ(token, "a");
    EXPECT_EQ(found, ',');
    EXPECT_EQ(next, text + 4);
    EXPECT_EQ(text[3], '\0');  // the delimiter was overwritten

    found = '?';
    token = Strtok(next, ",", &next, &found);
    ASSERT_EQ(token, text + 4);
    EXPECT_STREQ(token, "b");
    EXPECT_EQ(found, '?');  // the last token leaves the found byte alone
    EXPECT_EQ(next, text + 5);
    EXPECT_EQ(*next, '\0');

    EXPECT_EQ(Strtok(next, ",", &next, &found), nullptr);
    EXPECT_EQ(next, text + 5);
    EXPECT_EQ(found, '?');
}

TEST(Strtok, ReportsWhichDelimiterEndedEachToken) {
    char text[] = " one;two \tthree;";
    char* next = nullptr;
    char found = 0;
    std::vector<std::string> tokens;
    std::string delimiters_seen;
    for (char* t = Strtok(text, " ;\t", &next, &found); t != nullptr;
         t = Strtok(next, " ;\t", &next, &found)) {
        tokens.push_back(t);
        delimiters_seen.push_back(found);
    }
    EXPECT_EQ(tokens, (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(delimiters_seen, "; ;");
    EXPECT_EQ(next, text + strlen(" one;two \tthree;"));
}

TEST(Strtok, EmptyOrDelimiterOnlyTextReturnsNullAtOnce) {
    char empty[] = "";
    char* next = reinterpret_cast<char*>(1);
    EXPECT_EQ(Strtok(empty, ",", &next, nullptr), nullptr);
    EXPECT_EQ(next, empty);

    char only[] = ",,,";
    char found = '?';
    EXPECT_EQ(Strtok(only, ",", &next, &found), nullptr);
    EXPECT_EQ(next, only + 3);
    EXPECT_EQ(found, '?');
    EXPECT_STREQ(only, ",,,");

    // With an empty delimiter set the whole text is one token.
    char whole[] = "a,b";
    EXPECT_EQ(Strtok(whole, "", &next, &found), whole);
    EXPECT_EQ(next, whole + 3);
    EXPECT_STREQ(whole, "a,b");
}

TEST(Strtok, NullArgumentsAreTolerated) {
    char* next = nullptr;
    char found = '?';
    EXPECT_EQ(Strtok(nullptr, ",", &next, &found), nullptr);
    EXPECT_EQ(next, nullptr);

    char text[] = "a,b";
    EXPECT_EQ(Strtok(text, nullptr, &next, &found), text);
    EXPECT_STREQ(text, "a,b");
    EXPECT_EQ(next, nullptr);
    EXPECT_EQ(found, '?');

    // Without somewhere to keep the position or the delimiter, the token is still cut.
    EXPECT_EQ(Strtok(text, ",", nullptr, nullptr), text);
    EXPECT_STREQ(text, "a");
    EXPECT_STREQ(text + 2, "b");
}

TEST(Stristr, FindsFirstMatchFoldingAsciiLettersOnly) {
    const char* text = "Hello World, hello world";
    EXPECT_EQ(Stristr(text, "WORLD"), text + 6);
    EXPECT_EQ(Stristr(text, "lo w"), text + 3);
    EXPECT_EQ(Stristr(text, "hELLO"), text);
    EXPECT_EQ(Stristr(text, "D"), text + 10);
    EXPECT_EQ(Stristr(text, "world!"), nullptr);
    EXPECT_EQ(Stristr("abc", "abcd"), nullptr);
    const char* partial = "aab";
    EXPECT_EQ(Stristr(partial, "AB"), partial + 1) << "restart after a partial match";

    // Bytes above 127 are compared as they are.
    const char* latin = "caf\xC9";
    EXPECT_EQ(Stristr(latin, "\xE9"), nullptr);
    EXPECT_EQ(Stristr(latin, "F\xC9"), latin + 2);
    // '@' and '`' sit next to the letters and do not fold.
    EXPECT_EQ(Stristr("x@", "`"), nullptr);
}

TEST(Stristr, EmptyPatternMatchesAtTheStartAndEmptyTextMatchesNothingElse) {
    const char* empty = "";
    EXPECT_EQ(Stristr(empty, ""), empty);
    const char* text = "abc";
    EXPECT_EQ(Stristr(text, ""), text);
    EXPECT_EQ(Stristr(empty, "a"), nullptr);
    EXPECT_EQ(Stristr(nullptr, "a"), nullptr);
    EXPECT_EQ(Stristr(text, nullptr), nullptr);
}

TEST(Strristr, FindsTheLastMatchIgnoringCase) {
    const char* text = "abc-x-ABC";
    EXPECT_EQ(Strristr(text, "abc"), text + 6);
    EXPECT_EQ(Strristr(text, "C-X"), text + 2);
    EXPECT_EQ(Strristr(text, "abc-x-abc"), text);
    EXPECT_EQ(Strristr(text, "abcd"), nullptr);
    EXPECT_EQ(Strristr("ab", "abc"), nullptr);
    const char* runs = "aaaa";
    EXPECT_EQ(Strristr(runs, "aa"), runs + 2);
}

TEST(Strristr, EmptyTextNeverMatchesAndEmptyPatternMatchesAtTheStart) {
    EXPECT_EQ(Strristr("", ""), nullptr);
    EXPECT_EQ(Strristr("", "a"), nullptr);
    const char* text = "abc";
    EXPECT_EQ(Strristr(text, ""), text);
    EXPECT_EQ(Strristr(nullptr, "a"), nullptr);
    EXPECT_EQ(Strristr(text, nullptr), nullptr);
}

TEST(DownCaseArray, FoldsOnlyTheAsciiCapitals) {
    for (int i = 0; i < 256; ++i) {
        int expected = (i >= 'A' && i <= 'Z') ? i + ('a' - 'A') : i;
        EXPECT_EQ(downCaseArray[i], expected) << "entry " << i;
    }
}

TEST(Strlwr, ChangesOnlyBytes65To90WhateverTheLocale) {
    char all[256];
    for (int i = 1; i < 256; ++i) all[i - 1] = static_cast<char>(i);
    all[255] = '\0';
    EXPECT_EQ(Strlwr(all), all);
    for (int i = 1; i < 256; ++i) {
        int expected = (i >= 65 && i <= 90) ? i + 32 : i;
        EXPECT_EQ(static_cast<unsigned char>(all[i - 1]), expected) << "byte " << i;
    }
    EXPECT_EQ(all[255], '\0');

    char empty[] = "";
    EXPECT_EQ(Strlwr(empty), empty);
}

TEST(StrlwrStrupr, ConvertThroughTheCLocale) {
    setlocale(LC_ALL, "C");
    char lower[] = "MiXeD 123 \xC9";
    EXPECT_EQ(strlwr(lower), lower);
    EXPECT_STREQ(lower, "mixed 123 \xC9");
    char upper[] = "MiXeD 123 \xE9";
    EXPECT_EQ(strupr(upper), upper);
    EXPECT_STREQ(upper, "MIXED 123 \xE9");

    char empty[] = "";
    EXPECT_EQ(strlwr(empty), empty);
    EXPECT_EQ(strupr(empty), empty);
    EXPECT_EQ(strlwr(nullptr), nullptr);
    EXPECT_EQ(strupr(nullptr), nullptr);
}

// Selects a Latin-1 LC_CTYPE: an installed one, or one compiled into this test's private
// directory when the machine has the locale sources.
bool UseLatin1Locale() {
    const char* names[] = {"en_US.ISO-8859-1", "en_US.iso88591", "de_DE.ISO-8859-1",
                           "de_DE.iso88591", "fr_FR.ISO-8859-1", "fr_FR.iso88591"};
    for (const char* name : names) {
        if (setlocale(LC_CTYPE, name) != nullptr) return true;
    }
    std::string dir = tvxtest::Root() + "/locale";
    std::string command = "mkdir -p '" + dir + "' && localedef -c -i en_US -f ISO-8859-1 '" + dir +
                          "/en_US.ISO-8859-1' >/dev/null 2>&1";
    int status = system(command.c_str());
    (void)status;  // localedef exits non-zero for mere warnings; setlocale decides
    setenv("LOCPATH", dir.c_str(), 1);
    return setlocale(LC_CTYPE, "en_US.ISO-8859-1") != nullptr;
}

TEST(StrlwrStrupr, FollowALatin1LocaleWhereStrlwrDoesNot) {
    if (!UseLatin1Locale()) GTEST_SKIP() << "no Latin-1 locale on this machine";
    char fixed[] = "\xC9T\xC9";
    Strlwr(fixed);
    EXPECT_STREQ(fixed, "\xC9t\xC9");

    char lower[] = "\xC9T\xC9";
    strlwr(lower);
    EXPECT_STREQ(lower, "\xE9t\xE9");

    char upper[] = "\xE9t\xE9";
    strupr(upper);
    EXPECT_STREQ(upper, "\xC9T\xC9");

    // Strristr folds through the locale too, Stristr does not. (The sanitizers replace
    // strncasecmp with an ASCII-only version of their own, so the locale case is not seen there.)
    const char* text = "\xE9t\xE9 x";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_EQ(Strristr(text, "\xC9"), text + 2);
#endif
    EXPECT_EQ(Stristr(text, "\xC9"), nullptr);
}

}  // namespace
