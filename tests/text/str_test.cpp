// Bounded copies and appends, the formatter, the tokenizer, the case-insensitive searches and folding.
#include <windows.h>

#include <gtest/gtest.h>
#include <locale.h>
#include <wchar.h>

#include "tvx_test.h"

using namespace std::string_literals;

// `s` between 8-byte '#' guards: a destination case states every byte, so any stray write fails.
static std::string Guarded(const std::string& s) { return std::string(8, '#') + s + std::string(8, '#'); }

// One call on a destination as long as `want`, holding `old` (if given) before and `want` after.
using Fn = char* (*)(char* dst, const char* src, int count, int size);
const Fn cpy = [](char* d, const char* s, int, int size) { return Strcpy(d, s, size); };
const Fn ncpy = [](char* d, const char* s, int n, int) { return Strncpy(d, s, n); };
const Fn cpyex = [](char* d, const char* s, int n, int size) { return StrncpyEx(d, s, n, size); };
const Fn cat = [](char* d, const char* s, int, int size) { return Strcat(d, s, size); };
const Fn ncat = [](char* d, const char* s, int n, int size) { return Strncat(d, s, n, size); };
const Fn fmt = [](char* d, const char* s, int n, int z) { return Snprintf(d, z, "%s", s) == n ? d : 0; };
// Strcpy onto itself `n` bytes further on: a forward copy would repeat the start.
const Fn overlap = [](char* d, const char*, int n, int size) { return Strcpy(d + n, d, size) - n; };
struct Case { Fn fn; const char* src; int count, size; std::string want; const char* old = {}; };

// Strcpy keeps old bytes past the copy; Strncat zeroes the last byte only when cut; Snprintf: full length.
TEST(BoundedStrings, CutAtTheLimitAndTerminateOnlyWhereTheyMust) {
    const Case cases[] = {
        {cpy, "abcde", 0, 4, "abc\0"s}, {cpy, "abc", 0, 1, "\0"s}, {cpy, "", 0, 3, "\0x\0"s},
        {cpy, "ab", 0, 8, "ab\0xxxx\0"s}, {cpy, "abc", 0, 0, "xxxx"}, {cpy, "a", 0, -5, "xxxx"},
        {cpy, nullptr, 0, 4, "xxxx"}, {ncpy, "abc", 3, 0, "abcxxxxx"}, {ncpy, "abcdefgh", 5, 0, "abcdexxx"},
        {ncpy, "ab", 6, 0, "ab\0xxxxx"s}, {ncpy, "ab", 0, 0, "xxxx"}, {ncpy, "ab", -1, 0, "xxxx"},
        {cpyex, "abcdef", 3, 8, "ab\0xxxxx"s}, {cpyex, "abcdef", 50, 4, "abc\0"s},
        {cpyex, "abc", 1, 4, "\0xxx"s}, {cpyex, "abc", 4, -1, "xxxx"},
        {cat, "cd", 0, 8, "abcd\0xx\0"s, "ab"}, {cat, "cde", 0, 5, "abcd\0"s, "ab"},
        {cat, "abc", 0, 1, "\0"s, ""}, {cat, "xyz", 0, 5, "abcd\0"s, "abcd"},
        {cat, "xyz", 0, 5, "abcd\0fg\0xx"s, "abcdefg"}, {cat, "cd", 0, 0, "ab\0xxxxx"s, "ab"},
        {cat, "cd", 0, -1, "ab\0xxxxx"s, "ab"}, {cat, nullptr, 0, 8, "ab\0xxxxx"s, "ab"},
        {ncat, "wxyz", 2, 10, "abwx\0xxxxx"s, "ab"}, {ncat, "y", 5, 10, "aby\0xxx\0xx"s, "ab"},
        {ncat, "wxyz", 10, 5, "abwx\0"s, "ab"}, {ncat, "z", 1, 4, "abc\0"s, "abc"},
        {ncat, "z", 3, 4, "abc\0efg\0xx"s, "abcdefg"}, {ncat, "cd", 0, 8, "ab\0xxxxx"s, "ab"},
        {ncat, "cdefghij", 0x7FFFFFFF, 8, "abcdefg\0"s, "ab"}, {ncat, "z", 1, 0, "abcde\0xx"s, "abcde"},
        {ncat, "z", -3, 8, "abcde\0xx"s, "abcde"}, {ncat, nullptr, 1, 8, "abcde\0xx"s, "abcde"},
        {fmt, "abcdefgh", 8, 5, "abcd\0"s}, {fmt, "abcd", 4, 5, "abcd\0"s}, {fmt, "a", 1, 1, "\0"s},
        {fmt, "", 0, 4, "\0xx\0"s}, {fmt, "abcdef", 6, 0, "xxxx"}, {fmt, "abcdef", 6, -1, "xxxx"},
        {overlap, nullptr, 2, 10, "ababcdef\0xx\0"s, "abcdef"},
        {overlap, nullptr, 1, 5, "aabcd\0gh\0x"s, "abcdefgh"}};
    for (const Case& c : cases) {
        std::string b = Guarded(std::string(c.want.size(), 'x'));  // the call writes at [8]
        if (c.old != nullptr) b.replace(8, strlen(c.old) + 1, c.old, strlen(c.old) + 1);
        EXPECT_TRUE(c.fn(&b[8], c.src, c.count, c.size) == &b[8] && b == Guarded(c.want)) << &c - cases;
    }
    for (Fn fn : {cpy, ncpy, cpyex, cat, ncat}) EXPECT_EQ(fn(nullptr, "abc", 1, 8), nullptr);
    EXPECT_EQ(Snprintf(nullptr, 4, "%d-%s", 1234, "ab"), 7);
    setlocale(LC_ALL, "C");  // a wide character C cannot encode: the system formatter fails part-way
    std::string b = Guarded(std::string(16, 'x'));
    const int length = Snprintf(&b[8], 16, "ab%lcxyz", static_cast<wint_t>(0x1234));
    EXPECT_TRUE(length >= 0 && length == int(strlen(&b[8])) && b[23] == 0 && b.substr(24) == "########");
}

// Per call until null: [token], the found byte ('?': untouched), the continuation's offset; then the bytes.
TEST(Strtok, SplitsInPlaceAndKeepsThePositionInTheCaller) {
    const struct { const char *text, *delims, *calls; std::string after; } cases[] = {
        {",,a,b", ",", "[a],4 [b]?5 ?5 ", ",,a\0b\0"s},
        {" one;two \tthree;", " ;\t", "[one];5 [two] 9 [three];16 ?16 ", " one\0two\0\tthree\0\0"s},
        {"a\xFF" "b", "\xFF", "[a]\xFF" "2 [b]?3 ?3 ", "a\0b\0"s}, {"", ",", "?0 ", "\0"s},
        {",,,", ",", "?3 ", ",,,\0"s}, {"a,b", "", "[a,b]?3 ?3 ", "a,b\0"s}};
    for (const auto& c : cases) {
        std::string text(c.text, strlen(c.text) + 1), calls;
        char *next = text.data(), *token = next;
        for (int call = 0; call < 8 && token != nullptr; ++call) {  // a broken continuation might loop
            char found = '?';
            token = Strtok(next, c.delims, &next, &found);
            calls += (token ? "["s + token + "]" : "") + found + std::to_string(next - text.data()) + " ";
        }
        EXPECT_EQ(calls + text, c.calls + c.after) << c.text;
    }
    char *next = nullptr, found = '?', text[] = "a,b";  // null text, null delimiters, no outputs
    EXPECT_TRUE(!Strtok(nullptr, ",", &next, &found) && Strtok(text, nullptr, &next, &found) == text);
    EXPECT_TRUE(!next && found == '?' && !strcmp(text, "a,b") && Strtok(text, ",", nullptr, nullptr) == text);
    EXPECT_EQ(std::string(text, 4), "a\0b\0"s);
}

// Strlwr, Stristr fold only ASCII 65-90 (the exported table); strlwr, strupr, Strristr follow the locale.
TEST(CaseFolding, SearchesAndStrlwrFoldAsciiLettersAndTheOthersFollowTheLocale) {
    setlocale(LC_ALL, "C");
    const char* hello = "Hello World, hello world";
    const struct { const char *text, *pattern; int first, last; } cases[] = {  // offsets, -1 for none
        {hello, "WORLD", 6, 19}, {hello, "lo w", 3, 16}, {hello, "D", 10, 23}, {hello, "world!", -1, -1},
        {"abc-x-ABC", "C-X", 2, 2}, {"abc-x-ABC", "abc-x-abc", 0, 0}, {"abc", "abcd", -1, -1},
        {"aab", "AB", 1, 1}, {"aaaa", "aa", 0, 2}, {"abc", "", 0, 0}, {"", "", 0, -1}, {"", "a", -1, -1},
        {"x@", "`", -1, -1}, {nullptr, "a", -1, -1}, {"a", nullptr, -1, -1},
        {"caf\xC9", "F\xC9", 2, 2}, {"caf\xC9", "\xE9", -1, -1}};  // bytes above 127 are not folded
    for (const auto& c : cases) {
        EXPECT_EQ(Stristr(c.text, c.pattern), c.first < 0 ? nullptr : c.text + c.first) << c.pattern;
        EXPECT_EQ(Strristr(c.text, c.pattern), c.last < 0 ? nullptr : c.text + c.last) << c.pattern;
    }
    char all[256] = {}, lower[] = "MiXeD 123 \xC9", upper[] = "MiXeD 123 \xE9";
    std::string want;
    for (int i = 1; i < 256; ++i) all[i - 1] = char(i), want += char(i >= 65 && i <= 90 ? i + 32 : i);
    EXPECT_TRUE(Strlwr(all) == all && all == want && !(Strlwr(nullptr) || strlwr(nullptr) || strupr(nullptr)));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(downCaseArray), 256), '\0' + want);
    EXPECT_EQ(std::string(strlwr(lower)) + strupr(upper), "mixed 123 \xC9" "MIXED 123 \xE9");
    if (!tvxtest::UseLatin1Ctype()) GTEST_SKIP() << "no Latin-1 locale";
    char fixed[] = "\xC9T\xC9", lower1[] = "\xC9T\xC9", upper1[] = "\xE9t\xE9";
    EXPECT_EQ(std::string(Strlwr(fixed)) + strlwr(lower1) + strupr(upper1), "\xC9t\xC9\xE9t\xE9\xC9T\xC9");
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_EQ(Strristr(lower1, "\xC9"), lower1 + 2);  // (the sanitizers' strncasecmp is ASCII-only)
#endif
    EXPECT_EQ(Stristr(lower1, "\xC9"), nullptr);
}
