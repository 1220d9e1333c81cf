// Bounded copies and appends, the formatter, the tokenizer, the case-insensitive searches and the
// case conversions. A destination is preset to 'x' between guard bytes and each case states every
// byte of it, so a write at or past the size, or in front of the buffer, fails the case.
#include <windows.h>

#include <gtest/gtest.h>
#include <locale.h>
#include <wchar.h>

#include "tvx_test.h"

using namespace std::string_literals;

// `n` bytes of 'x' between '#' guards, starting with `init` and its terminator if given.
struct Buf {
    explicit Buf(size_t n, const char* init = nullptr) : size(n) {
        memset(raw, '#', sizeof raw);
        memset(raw + 8, 'x', n);
        if (init != nullptr) memcpy(raw + 8, init, strlen(init) + 1);
    }
    char* data() { return raw + 8; }
    std::string Bytes() const {  // a changed guard byte on either side fails the test
        for (size_t i = 0; i < 8; ++i) EXPECT_TRUE(raw[i] == '#' && raw[8 + size + i] == '#') << i;
        return std::string(raw + 8, size);
    }
    size_t size;
    char raw[48];
};

// One call on a fresh destination as long as `want` and holding `old` (if given) before; `want` is
// every byte of it after. The formatter's row passes only if it returns `count`, the full length.
using Fn = char* (*)(char* dst, const char* src, int count, int size);
const Fn cpy = [](char* d, const char* s, int, int size) { return Strcpy(d, s, size); };
const Fn ncpy = [](char* d, const char* s, int n, int) { return Strncpy(d, s, n); };
const Fn cpyex = [](char* d, const char* s, int n, int size) { return StrncpyEx(d, s, n, size); };
const Fn cat = [](char* d, const char* s, int, int size) { return Strcat(d, s, size); };
const Fn ncat = [](char* d, const char* s, int n, int size) { return Strncat(d, s, n, size); };
const Fn fmt = [](char* d, const char* s, int n, int size) {
    return Snprintf(d, size, "%s", s) == n ? d : nullptr;
};
struct Case { Fn fn; const char* src; int count, size; std::string want; const char* old = {}; };

TEST(BoundedStrings, CutAtTheLimitAndTerminateOnlyWhereTheyMust) {
    const Case cases[] = {
        {cpy, "abcde", 0, 4, "abc\0"s}, {cpy, "abc", 0, 1, "\0"s}, {cpy, "", 0, 3, "\0x\0"s},
        {cpy, "ab", 0, 8, "ab\0xxxx\0"s},  // old bytes stay, the last one is zeroed
        {cpy, "abc", 0, 0, "xxxx"}, {cpy, "a", 0, -5, "xxxx"}, {cpy, nullptr, 0, 4, "xxxx"},
        {ncpy, "abc", 3, 0, "abcxxxxx"}, {ncpy, "abcdefgh", 5, 0, "abcdexxx"},
        {ncpy, "ab", 6, 0, "ab\0xxxxx"s}, {ncpy, "ab", 0, 0, "xxxx"}, {ncpy, "ab", -1, 0, "xxxx"},
        {cpyex, "abcdef", 3, 8, "ab\0xxxxx"s}, {cpyex, "abcdef", 50, 4, "abc\0"s},
        {cpyex, "abc", 1, 4, "\0xxx"s}, {cpyex, "abc", 4, -1, "xxxx"},
        {cat, "cd", 0, 8, "abcd\0xx\0"s, "ab"}, {cat, "cde", 0, 5, "abcd\0"s, "ab"},
        {cat, "abc", 0, 1, "\0"s, ""}, {cat, "xyz", 0, 5, "abcd\0"s, "abcd"},
        {cat, "xyz", 0, 5, "abcd\0fg\0xx"s, "abcdefg"}, {cat, "cd", 0, 0, "ab\0xxxxx"s, "ab"},
        {cat, "cd", 0, -1, "ab\0xxxxx"s, "ab"}, {cat, nullptr, 0, 8, "ab\0xxxxx"s, "ab"},
        // Strncat ends the string after `count` bytes even when the source's own NUL came first,
        // and zeroes the last byte only when the size cuts.
        {ncat, "wxyz", 2, 10, "abwx\0xxxxx"s, "ab"}, {ncat, "y", 5, 10, "aby\0xxx\0xx"s, "ab"},
        {ncat, "wxyz", 10, 5, "abwx\0"s, "ab"}, {ncat, "z", 1, 4, "abc\0"s, "abc"},
        {ncat, "z", 3, 4, "abc\0efg\0xx"s, "abcdefg"}, {ncat, "cd", 0, 8, "ab\0xxxxx"s, "ab"},
        {ncat, "cdefghij", 0x7FFFFFFF, 8, "abcdefg\0"s, "ab"}, {ncat, "z", 1, 0, "abcde\0xx"s, "abcde"},
        {ncat, "z", -3, 8, "abcde\0xx"s, "abcde"}, {ncat, nullptr, 1, 8, "abcde\0xx"s, "abcde"},
        {fmt, "abcdefgh", 8, 5, "abcd\0"s}, {fmt, "abcd", 4, 5, "abcd\0"s}, {fmt, "a", 1, 1, "\0"s},
        {fmt, "", 0, 4, "\0xx\0"s}, {fmt, "abcdef", 6, 0, "xxxx"}, {fmt, "abcdef", 6, -1, "xxxx"}};
    for (const Case& c : cases) {
        Buf b(c.want.size(), c.old);
        EXPECT_EQ(c.fn(b.data(), c.src, c.count, c.size), b.data()) << "case " << &c - cases;
        EXPECT_EQ(b.Bytes(), c.want) << "case " << &c - cases;
    }
    for (Fn fn : {cpy, ncpy, cpyex, cat, ncat}) EXPECT_EQ(fn(nullptr, "abc", 1, 8), nullptr);
    EXPECT_EQ(Snprintf(nullptr, 4, "%d-%s", 1234, "ab"), 7);
    Buf back(12, "abcdef"), cut(10, "abcdefgh");  // overlapping: a forward copy would repeat "ab"
    Strcpy(back.data() + 2, back.data(), 10);
    Strcpy(cut.data() + 1, cut.data(), 5);
    EXPECT_EQ(back.Bytes() + cut.Bytes(), "ababcdef\0xx\0"s + "aabcd\0gh\0x"s);
    // A wide character the C locale cannot encode makes the system formatter fail part-way.
    setlocale(LC_ALL, "C");
    Buf b(16);
    const int length = Snprintf(b.data(), 16, "ab%lcxyz", static_cast<wint_t>(0x1234));
    EXPECT_TRUE(length >= 0 && length == static_cast<int>(strlen(b.data())) && b.Bytes()[15] == 0);
}

TEST(Strtok, SplitsInPlaceAndKeepsThePositionInTheCaller) {
    // Per call until null: the token in brackets, the found byte ('?' if left alone) and the
    // offset of the continuation; then the text's bytes.
    const struct { const char *text, *delims, *calls; std::string after; } cases[] = {
        {",,a,b", ",", "[a],4 [b]?5 ?5 ", ",,a\0b\0"s},
        {" one;two \tthree;", " ;\t", "[one];5 [two] 9 [three];16 ?16 ", " one\0two\0\tthree\0\0"s},
        {"a\xFF" "b", "\xFF", "[a]\xFF" "2 [b]?3 ?3 ", "a\0b\0"s}, {"", ",", "?0 ", "\0"s},
        {",,,", ",", "?3 ", ",,,\0"s}, {"a,b", "", "[a,b]?3 ?3 ", "a,b\0"s}};
    for (const auto& c : cases) {
        std::string text(c.text, strlen(c.text) + 1), calls;
        char* next = text.data();
        for (int call = 0; call < 8; ++call) {  // bounded: a broken continuation might loop
            char found = '?';
            char* token = Strtok(next, c.delims, &next, &found);
            if (token != nullptr) calls.append("[").append(token).append("]");
            calls += found + std::to_string(next - text.data()) + " ";
            if (token == nullptr) break;
        }
        EXPECT_EQ(calls + text, c.calls + c.after) << c.text;
    }
    char *next = nullptr, found = '?', text[] = "a,b";
    EXPECT_EQ(Strtok(nullptr, ",", &next, &found), nullptr);
    EXPECT_EQ(Strtok(text, nullptr, &next, &found), text);
    EXPECT_TRUE(next == nullptr && found == '?' && strcmp(text, "a,b") == 0);
    EXPECT_EQ(Strtok(text, ",", nullptr, nullptr), text);  // cut without the outputs too
    EXPECT_EQ(std::string(text, sizeof text), "a\0b\0"s);
}

TEST(StristrStrristr, FindTheFirstAndTheLastMatchIgnoringAsciiCase) {
    setlocale(LC_ALL, "C");
    const char* hello = "Hello World, hello world";
    // Offsets of the first and the last match, -1 for none.
    const struct { const char *text, *pattern; int first, last; } cases[] = {
        {hello, "WORLD", 6, 19},   {hello, "lo w", 3, 16},     {hello, "D", 10, 23},
        {hello, "world!", -1, -1}, {"abc-x-ABC", "C-X", 2, 2}, {"abc-x-ABC", "abc-x-abc", 0, 0},
        {"abc", "abcd", -1, -1},   {"aab", "AB", 1, 1},        {"aaaa", "aa", 0, 2},
        {"abc", "", 0, 0},         {"", "", 0, -1},            {"", "a", -1, -1},
        {"x@", "`", -1, -1},       {nullptr, "a", -1, -1},     {"a", nullptr, -1, -1},
        {"caf\xC9", "F\xC9", 2, 2}, {"caf\xC9", "\xE9", -1, -1}};  // bytes above 127 are not folded
    for (const auto& c : cases) {
        EXPECT_EQ(Stristr(c.text, c.pattern), c.first < 0 ? nullptr : c.text + c.first) << c.pattern;
        EXPECT_EQ(Strristr(c.text, c.pattern), c.last < 0 ? nullptr : c.text + c.last) << c.pattern;
    }
}

// Strlwr folds only bytes 65 to 90 (the exported table says so); strlwr and strupr follow the C
// library's locale, and so does Strristr, unlike Stristr.
TEST(StrlwrStrupr, StrlwrFoldsOnlyAsciiLettersAndTheOthersFollowTheLocale) {
    setlocale(LC_ALL, "C");
    char all[256] = {}, lower[] = "MiXeD 123 \xC9", upper[] = "MiXeD 123 \xE9";
    for (int i = 1; i < 256; ++i) all[i - 1] = static_cast<char>(i);
    EXPECT_EQ(Strlwr(all), all);
    for (int i = 1; i < 256; ++i) {
        const int want = (i >= 65 && i <= 90) ? i + 32 : i;
        EXPECT_TRUE(downCaseArray[i] == want && static_cast<unsigned char>(all[i - 1]) == want) << i;
    }
    EXPECT_TRUE(downCaseArray[0] == 0 && all[255] == 0 && Strlwr(nullptr) == nullptr);
    EXPECT_EQ(std::string(strlwr(lower)) + strupr(upper), "mixed 123 \xC9" "MIXED 123 \xE9");
    EXPECT_TRUE(strlwr(nullptr) == nullptr && strupr(nullptr) == nullptr);
    // A Latin-1 LC_CTYPE: an installed one, or one compiled into this test's private directory.
    if (const std::string dir = tvxtest::Root() + "/locale"; !setlocale(LC_CTYPE, "en_US.ISO-8859-1")) {
        [[maybe_unused]] int status = system(("mkdir -p '" + dir + "' && localedef -c -i en_US"
                                              " -f ISO-8859-1 '" + dir +
                                              "/en_US.ISO-8859-1' >/dev/null 2>&1").c_str());
        setenv("LOCPATH", dir.c_str(), 1);
    }
    if (setlocale(LC_CTYPE, "en_US.ISO-8859-1") == nullptr) GTEST_SKIP() << "no Latin-1 locale";
    char fixed[] = "\xC9T\xC9", lower1[] = "\xC9T\xC9", upper1[] = "\xE9t\xE9";
    EXPECT_EQ(std::string(Strlwr(fixed)) + strlwr(lower1) + strupr(upper1), "\xC9t\xC9\xE9t\xE9\xC9T\xC9");
    const char* text = "\xE9t\xE9 x";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_EQ(Strristr(text, "\xC9"), text + 2);  // (the sanitizers' strncasecmp is ASCII-only)
#endif
    EXPECT_EQ(Stristr(text, "\xC9"), nullptr);
}
