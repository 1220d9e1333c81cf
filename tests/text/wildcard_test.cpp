// Wildcard matching: every element of the pattern language, ignore case, the match bounds, the cost.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>

#include "tvx_test.h"

// Start and end are offsets into the text (-1: none). The start is the anchor of the attempt whose
// literal or bracket first matched, cleared when such an element fails; only a closing `*` sets the end.
TEST(WildCardMatch, EachElementAndFlagDecidesTheResultAndTheMatchBounds) {
    const struct { const char *text, *pattern; int want, start = -1, end = -1, ignore_case = 0; } cases[] = {
        {"README.TXT", "*.txt", 1, 6, -1, 1}, {"README.TXT", "*.txt", 0}, {"", "", 1}, {"", "*", 1},
        {"", "**", 1, -1, -1, 1}, {"", "?", 0}, {"", "(a)", 0}, {"a", "a(b)", 0, 0}, {"a", "a*", 1, 0},
        {"abc", "a*", 1, 0, 1}, {"abc", "*", 1, -1, 0}, {"abc", "a?c", 1, 0}, {"ac", "a?c", 0, 0},
        {"abc", "ab", 0, 0}, {"a*", "a\\*", 1, 0}, {"ab", "a\\*", 0, 0}, {"a\\", "a\\", 0, 0},
        {"b", "[a-c,x]", 1, 0}, {"x", "[a-c,x]", 1, 0}, {"d", "[a-c,x]", 0}, {"q", "[a,]", 1, 0},
        {"c", "[-m]", 1, 0}, {"q", "[-m]", 0}, {"q", "[-]", 1, 0}, {"m", "[m-]", 1, 0}, {"a", "[m-]", 0},
        {"abc", "a(b)c", 1, 0}, {"ac", "a(b)c", 1, 0}, {"ab", "a[]b", 1, 0}, {"abc", "a[b]c", 1, 0},
        {"ac", "a[b]c", 0, 0}, {"xaby", "x[\"ab\",\"cd\"]y", 1, 0}, {"xcdy", "x[\"ab\",\"cd\"]y", 1, 0},
        {"XABY", "x[\"ab\",\"cd\"]y", 1, 0, -1, 1}, {"XABY", "x[\"ab\",\"cd\"]y", 0},
        {"xaby", "x[\"AB\",cd]y", 1, 0, -1, 1}, {"xaby", "x[\"AB\",cd]y", 0, 0}, {"xa", "x[\"ab\"]", 0, 0},
        {"a\"b", "[\"a\\\"b\"]", 1, 0}, {"\"", "[\"\"]", 1, 0}, {"xab", "x[\"ab\",a]b", 0, 0},
        {"xab", "x[a,\"ab\"]b", 1, 0}, {"a", "[abc", 0}, {"[abc", "[abc", 0}, {"xb", "*(b", 0},
        {"aab", "*b", 1, 2}, {"abc", "a**c", 1, 2}, {"abcabc", "a*c*", 1, 2, 3}, {"ab", "?*", 1, -1, 1},
        {"ab", "\\a*", 1, -1, 1}, {"aab", "*ab", 1, 1}, {"aab", "*a[b]", 1, 1}, {"aab", "*a\\b", 1, 0},
        {"ab", "*(x)\\b", 1}, {"ab", "*()\\b", 1, 0}, {"[x]", "\\[x\\]", 1, 0}, {"a,b)]", "a,b)]", 1, 0},
        {"]", "(a]b)", 1, 0}, {"(", "[(]", 1, 0}, {"]", "[\\]]", 1, 0}, {"\\", "[\\]]", 0},
        {"\\", "[a\\\\]", 1, 0}, {"\\", "[\\a\\\\]", 0}, {"a", "[\\a]", 1, 0}, {"x", "[\\,]", 1, 0},
        {"]", "[-\\]]", 1, 0}, {"^", "[-\\]]", 0}, {"]", "[A-\\]]", 1, 0}, {"^", "[A-\\]]", 0},
        {"^", "[\\-a]", 1, 0}, {"-", "[\\-a]", 0}, {"\xC9", "[-m]", 1, 0}, {"\xC9", "[a-]", 0},
        {"a", "[\x80-z]", 1, 0}, {"B", "[a-c]", 1, 0, -1, 1}, {"B", "[a-c]", 0}, {"b", "[A-C]", 1, 0, -1, 1}};
    for (const auto& c : cases) {
        const char *start = "?", *end = "?";  // must be cleared first
        const int got = WildCardMatchEx(c.text, c.pattern, c.ignore_case, &start, &end);
        auto at = [&](const char* p) { return p == nullptr ? -1 : static_cast<int>(p - c.text); };
        EXPECT_EQ(std::tuple(got, at(start), at(end)), std::tuple(c.want, c.start, c.end))
            << '"' << c.text << "\" ~ " << c.pattern << " case " << c.ignore_case;
        EXPECT_EQ(WildCardMatchEx(c.text, c.pattern, c.ignore_case, nullptr, nullptr), c.want);
        EXPECT_TRUE(!c.ignore_case || WildCardMatch(c.text, c.pattern) == c.want) << c.pattern;
    }
    // Ignore case reads the pattern through a copy of 10,239 characters: the "c" is cut off.
    const std::string text = std::string(10238, 'a') + "b", pattern = text + "c";
    EXPECT_TRUE(WildCardMatch(text.c_str(), pattern.c_str()));
    EXPECT_FALSE(WildCardMatchEx(text.c_str(), pattern.c_str(), 0, nullptr, nullptr));
    const char *start = "?", *end = "?";
    EXPECT_TRUE(!WildCardMatchEx(nullptr, "*", 1, &start, &end) && !start && !end);
    EXPECT_TRUE(!WildCardMatch("a", nullptr) && !WildCardMatch(nullptr, nullptr));
    // The pattern is lowered by the locale, the text by the ASCII table: a Latin-1 É in the text stays.
    if (!tvxtest::UseLatin1Ctype()) GTEST_SKIP() << "no Latin-1 locale";
    EXPECT_TRUE(WildCardMatch("\xE9", "\xC9") && !WildCardMatch("\xC9", "\xE9") && !WildCardMatch("\xC9", "\xC9"));
}

// A backtracking matcher would try every split of 4,000 characters among 30 stars.
TEST(WildCardMatch, HostilePatternsCostOnePassPerTextPosition) {
    const std::string name(4000, 'a');
    std::string alternating;
    for (int i = 0; i < 29; ++i) alternating += "*a";
    for (const std::string& pattern : {alternating + "*b", std::string(30, '*') + "b"}) {
        const auto t0 = std::chrono::steady_clock::now();
        const int got = WildCardMatch(name.c_str(), pattern.c_str());
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        printf("%.12s...: %.3f ms\n", pattern.c_str(), ms);
        EXPECT_TRUE(got == 0 && ms < 50) << pattern;
    }
}

TEST(WildCardExists, FindsAnyOfTheFourWildcardCharacters) {
    for (const char* text : {"a?b", "a*", "[x", "(x"}) EXPECT_EQ(WildCardExists(text), 1) << text;
    EXPECT_TRUE(!WildCardExists("a]b),\\-\"") && !WildCardExists("") && !WildCardExists(nullptr));
}
