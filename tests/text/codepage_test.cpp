// Code pages: round trips through UCS-2, buffers too small, unknown code pages, bad arguments,
// the ISO-2022-JP designation rewrite.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tvx_test.h"

namespace {

using Wide = std::vector<WCHAR>;
const Wide kFailed = {0xDEAD};

// The wide text of `text` (length -1: with its terminator), or kFailed when the call failed.
Wide ToWide(UINT code_page, const std::string& text, int length = -1, int capacity = 64) {
    Wide out(capacity > 0 ? capacity : 1);
    int n = MultiByteToWideChar(code_page, 0, text.c_str(), length, out.data(), capacity);
    return n == 0 ? kFailed : Wide(out.begin(), out.begin() + n);
}

std::string FromWide(UINT code_page, const Wide& wide, int length = -1, int capacity = 64) {
    std::string out(capacity > 0 ? capacity : 1, '\x7f');
    int n = WideCharToMultiByte(code_page, 0, wide.data(), length, out.data(), capacity, nullptr, nullptr);
    return n == 0 ? "<failed>" : out.substr(0, n);
}

std::string Failure(const char* what, int error) {
    return std::string(what) + " failed (" + std::to_string(error) + ")";
}

struct RoundTrip { UINT code_page; std::string bytes; Wide wide; };  // both without terminator
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
        EXPECT_EQ(terminated, ToWide(c.code_page, c.bytes));
        EXPECT_EQ(c.wide, ToWide(c.code_page, c.bytes, static_cast<int>(c.bytes.size())));
        EXPECT_EQ(c.bytes + '\0', FromWide(c.code_page, terminated));
        EXPECT_EQ(c.bytes, FromWide(c.code_page, c.wide, static_cast<int>(c.wide.size())));
    }
}

// There is no size query: a buffer too small, like an invalid sequence or an unknown code page,
// fails the conversion and is logged.
TEST(CodePages, BuffersTooSmallAndUnknownCodePagesFailAndAreLogged) {
    Wide hello = {'h', 'e', 'l', 'l', 'o', 0};
    EXPECT_EQ("<failed>", FromWide(CP_UTF8, hello, -1, 5));  // no room for the terminator
    EXPECT_EQ("hello", FromWide(CP_UTF8, hello, 5, 5));
    EXPECT_EQ(kFailed, ToWide(CP_ACP, "hello", -1, 5));
    EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, 0, "hello", 5, nullptr, 0));
    EXPECT_EQ(kFailed, ToWide(CP_UTF8, "\xc3("));
    EXPECT_EQ(kFailed, ToWide(12345, "abc"));
    EXPECT_EQ("<failed>", FromWide(12345, {'a', 0}));
    for (const std::string& message :
         {Failure("WideCharToMultiByte: iconv () UTF-8, UCS-2", E2BIG),
          Failure("MultiByteToWideChar: iconv () UCS-2, 8859_1", E2BIG),
          Failure("MultiByteToWideChar: iconv_open (UCS-2, CP12345)", EINVAL),
          Failure("WideCharToMultiByte: iconv_open (CP12345, UCS-2)", EINVAL)})
        EXPECT_EQ(1, tvxtest::CountLogMessage(message)) << message;
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
        EXPECT_EQ(0, WideCharToMultiByte(cp, 0, wide, 1, bytes, -1, nullptr, nullptr));
        EXPECT_EQ(0, WideCharToMultiByte(cp, 0, wide, 1, nullptr, 4, nullptr, nullptr));
    }
}

// ESC $ B (JIS X 0208) is read as ESC $ ( O, the designation the ISO-2022-JP-3 converter wants:
// 0x2D21 (U+2460) exists only in the JIS X 0213 plane, so the converter refuses it after ESC $ B.
TEST(CodePages, JisDesignationIsRewrittenFor50220) {
    const std::string jis = "\x1b$B\x2d\x21\x1b(B";
    EXPECT_EQ((Wide{0x2460, 0}), ToWide(50220, jis));
    EXPECT_EQ(Wide{0x2460}, ToWide(50220, jis, static_cast<int>(jis.size())));
    std::string many, bare;  // every designation grows by a byte: the work buffer has room for all
    for (int i = 0; i < 50; ++i) many += "\x1b$B\x2d\x21", bare += "\x1b$B";
    EXPECT_EQ(Wide(50, 0x2460), ToWide(50220, many + "\x1b(B", static_cast<int>(many.size() + 3), 128));
    EXPECT_EQ(Wide{0}, ToWide(50220, bare + "\x1b(B"));  // three bytes that become four: the fullest
    EXPECT_EQ(Wide{'a'}, ToWide(50220, std::string("a\0b", 3), 3));  // input stops at a NUL
}

}  // namespace
