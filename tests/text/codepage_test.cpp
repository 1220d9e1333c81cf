// Code pages: round trips through UCS-2, the character-set names and their environment
// overrides, buffers too small, unknown code pages, the ISO-2022-JP designation rewrite.
#include <windows.h>

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "tvx_test.h"

namespace {

using Wide = std::vector<WCHAR>;

// The wide text of `text` (length -1: with its terminator), or {0xDEAD} when the call failed.
Wide ToWide(UINT code_page, const std::string& text, int length = -1, int capacity = 64) {
    Wide out(capacity > 0 ? capacity : 1);
    int n = MultiByteToWideChar(code_page, 0, text.c_str(), length, out.data(), capacity);
    if (n == 0) return {0xDEAD};
    out.resize(n);
    return out;
}

std::string FromWide(UINT code_page, const Wide& wide, int length = -1, int capacity = 64) {
    std::string out(capacity > 0 ? capacity : 1, '\x7f');
    int n = WideCharToMultiByte(code_page, 0, wide.data(), length, out.data(), capacity, nullptr,
                                nullptr);
    if (n == 0) return "<failed>";
    out.resize(n);
    return out;
}

struct RoundTrip {
    UINT code_page;
    std::string bytes;  // without terminator
    Wide wide;          // without terminator
};

const RoundTrip kRoundTrips[] = {
    {CP_ACP, "hello", {'h', 'e', 'l', 'l', 'o'}},
    {CP_ACP, "caf\xe9 \xff\xa0", {'c', 'a', 'f', 0xE9, ' ', 0xFF, 0xA0}},
    {CP_UTF8, "caf\xc3\xa9", {'c', 'a', 'f', 0xE9}},
    {CP_UTF8, "\xe2\x82\xac\xe4\xba\x9c!", {0x20AC, 0x4E9C, '!'}},
    {1252, "\x80\xe9", {0x20AC, 0xE9}},
    {20932, "\xb0\xa1", {0x4E9C}},  // EUC-JP
};

TEST(CodePages, TextSurvivesTheRoundTrip) {
    for (const RoundTrip& c : kRoundTrips) {
        SCOPED_TRACE("code page " + std::to_string(c.code_page) + " " + c.bytes);
        Wide terminated = c.wide;
        terminated.push_back(0);
        EXPECT_EQ(terminated, ToWide(c.code_page, c.bytes));  // -1 converts the terminator too
        EXPECT_EQ(c.wide, ToWide(c.code_page, c.bytes, static_cast<int>(c.bytes.size())));
        EXPECT_EQ(c.bytes + '\0', FromWide(c.code_page, terminated));
        EXPECT_EQ(c.bytes, FromWide(c.code_page, c.wide, static_cast<int>(c.wide.size())));
    }
    // Across code pages: Latin-1 in, UTF-8 out.
    EXPECT_EQ(std::string("caf\xc3\xa9", 6), FromWide(CP_UTF8, ToWide(CP_ACP, "caf\xe9")));
}

// There is no size query: any buffer too small is a failed conversion, logged.
TEST(CodePages, BuffersTooSmallFailAndAreLogged) {
    Wide five = {'h', 'e', 'l', 'l', 'o', 0};
    EXPECT_EQ("<failed>", FromWide(CP_UTF8, five, -1, 3));
    EXPECT_EQ("<failed>", FromWide(CP_UTF8, five, -1, 5));  // no room for the terminator
    EXPECT_EQ("hello", FromWide(CP_UTF8, five, 5, 5));
    // The log folds a run of identical messages into one line and a repeat count.
    EXPECT_EQ(1, tvxtest::CountLogMessage("WideCharToMultiByte: iconv () UTF-8, UCS-2 failed (" +
                                          std::to_string(E2BIG) + ")"));
    EXPECT_EQ(Wide{0xDEAD}, ToWide(CP_ACP, "hello", -1, 5));
    EXPECT_EQ(Wide{0xDEAD}, ToWide(CP_ACP, "hello", 5, 0));
    EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, 0, "hello", 5, nullptr, 0));
    EXPECT_EQ(1, tvxtest::CountLogMessage("MultiByteToWideChar: iconv () UCS-2, 8859_1 failed (" +
                                          std::to_string(E2BIG) + ")"));
    // An invalid sequence is a failure too.
    EXPECT_EQ(Wide{0xDEAD}, ToWide(CP_UTF8, "\xc3("));
}

TEST(CodePages, BadArgumentsGiveZeroWithoutTouchingMemory) {
    WCHAR wide[4];
    char bytes[4];
    for (UINT cp : {CP_ACP, CP_UTF8, 50220u}) {
        EXPECT_EQ(0, MultiByteToWideChar(cp, 0, nullptr, -1, wide, 4));
        EXPECT_EQ(0, MultiByteToWideChar(cp, 0, "abc", -2, wide, 4));
        EXPECT_EQ(0, MultiByteToWideChar(cp, 0, "abc", 3, wide, -1));
        EXPECT_EQ(0, MultiByteToWideChar(cp, 0, "abc", 3, nullptr, 4));
        EXPECT_EQ(0, WideCharToMultiByte(cp, 0, nullptr, -1, bytes, 4, nullptr, nullptr));
        EXPECT_EQ(0, WideCharToMultiByte(cp, 0, wide, -2, bytes, 4, nullptr, nullptr));
        EXPECT_EQ(0, WideCharToMultiByte(cp, 0, wide, 1, nullptr, 4, nullptr, nullptr));
    }
}

TEST(CodePages, UnknownCodePageIsTriedByNumberAndLogged) {
    EXPECT_EQ(Wide{0xDEAD}, ToWide(12345, "abc"));
    EXPECT_EQ(1, tvxtest::CountLogMessage("MultiByteToWideChar: iconv_open (UCS-2, CP12345) failed (" +
                                          std::to_string(EINVAL) + ")"));
    EXPECT_EQ("<failed>", FromWide(12345, {'a', 0}));
    EXPECT_EQ(1, tvxtest::CountLogMessage("WideCharToMultiByte: iconv_open (CP12345, UCS-2) failed (" +
                                          std::to_string(EINVAL) + ")"));
}

struct Override {
    const char* variable;
    const char* value;  // null: unset
    UINT code_page;
    std::string bytes;
    Wide wide;  // with terminator; {0xDEAD}: fails
};

const Override kOverrides[] = {
    {"KWR_CPACP", nullptr, CP_ACP, "\xe9", {0xE9, 0}},
    {"KWR_CPACP", "", CP_ACP, "\xe9", {0xE9, 0}},
    {"KWR_CPACP", "UTF-8", CP_ACP, "\xc3\xa9", {0xE9, 0}},
    {"KWR_CPUTF8", "ISO-8859-1", CP_UTF8, "\xc3\xa9", {0xC3, 0xA9, 0}},
    {"KWR_CP1252", nullptr, 1252, "\xa4", {0xA4, 0}},
    {"KWR_CP1252", "ISO-8859-15", 1252, "\xa4", {0x20AC, 0}},
    {"KWR_CP20932", "ISO-8859-1", 20932, "\xb0\xa1", {0xB0, 0xA1, 0}},
    {"KWR_CP1252", "NO-SUCH-SET", 1252, "a", {0xDEAD}},
};

TEST(CodePages, EnvironmentOverridesTheCharacterSetName) {
    for (const Override& c : kOverrides) {
        SCOPED_TRACE(std::string(c.variable) + "=" + (c.value ? c.value : "(unset)"));
        EXPECT_EQ(0, tvxtest::ChildExit([&] {
            if (c.value == nullptr) unsetenv(c.variable);
            else setenv(c.variable, c.value, 1);
            return ToWide(c.code_page, c.bytes) == c.wide ? 0 : 1;
        }));
    }
    int failed = tvxtest::ChildExit([] {
        setenv("KWR_CP1252", "NO-SUCH-SET", 1);
        ToWide(1252, "a");
        return tvxtest::CountLogMessage("MultiByteToWideChar: iconv_open (UCS-2, NO-SUCH-SET) failed (" +
                                        std::to_string(EINVAL) + ")") == 1 ? 0 : 1;
    });
    EXPECT_EQ(0, failed);
}

// ESC $ B (JIS X 0208) is read as ESC $ ( O, the designation the ISO-2022-JP-3 converter wants:
// 0x2D21 (U+2460) exists only in the JIS X 0213 plane, so the converter refuses it after ESC $ B.
TEST(CodePages, JisDesignationIsRewrittenFor50220) {
    const std::string jis = "\x1b$B\x2d\x21\x1b(B";
    const std::string jis3 = "\x1b$(O\x2d\x21\x1b(B";
    EXPECT_EQ((Wide{0x2460, 0}), ToWide(50220, jis));
    EXPECT_EQ(ToWide(50220, jis3), ToWide(50220, jis));
    // A length without the terminator converts without it, as on every other code page.
    EXPECT_EQ(Wide{0x2460}, ToWide(50220, jis, static_cast<int>(jis.size())));
    // Every designation grows by a byte: the work buffer has room for all of them.
    std::string designations;
    for (int i = 0; i < 60; ++i) designations += "\x1b$B";
    EXPECT_EQ(Wide{0}, ToWide(50220, designations + "\x1b(B"));
    std::string many;
    for (int i = 0; i < 50; ++i) many += "\x1b$B\x2d\x21";
    many += "\x1b(B";
    Wide expected(50, 0x2460);
    expected.push_back(0);
    EXPECT_EQ(expected, ToWide(50220, many, -1, 128));
    // Input stops at a NUL within the given length.
    EXPECT_EQ(Wide{'a'}, ToWide(50220, std::string("a\0b", 3), 3));
}

}  // namespace
