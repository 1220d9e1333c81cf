// Bounded string copies and appends, the bounded formatter, the re-entrant tokenizer, the
// case-insensitive searches, in-place case conversion and the ASCII folding table.
//
// Every unit of the library copies names through Strcpy, so it is kept to one bounded length scan
// and one block move. Nothing here keeps state, allocates or touches the last error; only the
// system library's string and ctype functions are called.
//
// A size is the whole destination, terminator included, and is a signed int compared as signed.
// The functions below promise exact results for sizes of at least 1; a smaller size, a negative
// count, or a null destination or source makes them return at once without writing a byte, so a
// host's arithmetic slip cannot turn into a write in front of its buffer.
#include <tarvex/text.h>

#include <ctype.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>

#include "text/byte_set.h"

namespace tarvex {
namespace {

constexpr unsigned char FoldAsciiLetter(int byte) {
    return static_cast<unsigned char>(byte >= 'A' && byte <= 'Z' ? byte - 'A' + 'a' : byte);
}

// Length of the string at `s`, reading at most `limit` bytes (`limit` >= 0).
inline size_t BoundedLength(const char* s, int limit) {
    return strnlen(s, static_cast<size_t>(limit));
}

// Moves the string at `src` into `dst`, terminator included, but never more than `limit` bytes
// (`limit` >= 0). Source and destination may overlap: the length is taken before anything moves.
inline void MoveBounded(char* dst, const char* src, int limit) {
    size_t length = BoundedLength(src, limit);
    size_t bytes = length < static_cast<size_t>(limit) ? length + 1 : static_cast<size_t>(limit);
    memmove(dst, src, bytes);
}

}  // namespace
}  // namespace tarvex

// The table is spelled out by macro so that it is plain constant data in the exported symbol.
#define TVX_FOLD4(i)                                                                    \
    tarvex::FoldAsciiLetter(i), tarvex::FoldAsciiLetter((i) + 1),                       \
        tarvex::FoldAsciiLetter((i) + 2), tarvex::FoldAsciiLetter((i) + 3)
#define TVX_FOLD16(i) TVX_FOLD4(i), TVX_FOLD4((i) + 4), TVX_FOLD4((i) + 8), TVX_FOLD4((i) + 12)
#define TVX_FOLD64(i) \
    TVX_FOLD16(i), TVX_FOLD16((i) + 16), TVX_FOLD16((i) + 32), TVX_FOLD16((i) + 48)

extern "C" constinit const unsigned char downCaseArray[256] = {
    TVX_FOLD64(0), TVX_FOLD64(64), TVX_FOLD64(128), TVX_FOLD64(192)};

#undef TVX_FOLD64
#undef TVX_FOLD16
#undef TVX_FOLD4

static_assert(sizeof(downCaseArray) == 256);
static_assert(tarvex::FoldAsciiLetter('A') == 'a' && tarvex::FoldAsciiLetter('Z') == 'z');
static_assert(tarvex::FoldAsciiLetter('@') == '@' && tarvex::FoldAsciiLetter('[') == '[');
static_assert(tarvex::FoldAsciiLetter(0xC0) == 0xC0);

extern "C" {

char* Strcpy(char* dst, const char* src, int size) {
    if (dst == nullptr || src == nullptr || size < 1) return dst;
    tarvex::MoveBounded(dst, src, size);
    // Unconditional: a source that fits leaves older bytes between its terminator and the end,
    // and callers rely on the last byte being zero all the same.
    dst[size - 1] = '\0';
    return dst;
}

char* Strncpy(char* dst, const char* src, int count) {
    if (dst == nullptr || src == nullptr || count < 0) return dst;
    // Deliberately no terminator and no zero fill: callers use it to place a bounded run of
    // bytes inside a larger string.
    tarvex::MoveBounded(dst, src, count);
    return dst;
}

char* StrncpyEx(char* dst, const char* src, int count, int size) {
    return Strcpy(dst, src, std::min(count, size));
}

char* Strcat(char* dst, const char* src, int size) {
    if (dst == nullptr || src == nullptr || size < 1) return dst;
    // Reading the old contents no further than `size` gives the same result as their full length:
    // either way nothing is appended once they reach the end of the buffer.
    int used = static_cast<int>(tarvex::BoundedLength(dst, size));
    if (used < size) tarvex::MoveBounded(dst + used, src, size - used);
    dst[size - 1] = '\0';
    return dst;
}

char* Strncat(char* dst, const char* src, int count, int size) {
    if (dst == nullptr || src == nullptr || size < 1 || count < 0) return dst;
    int used = static_cast<int>(tarvex::BoundedLength(dst, size));
    int room = size - used;
    if (room > 0 && count > 0) tarvex::MoveBounded(dst + used, src, std::min(count, room));
    // The terminator goes after `count` appended bytes even when the source ended earlier (its
    // own NUL then ends the string first); widened so that a huge count cannot wrap.
    int64_t end = std::min<int64_t>(int64_t{used} + count, int64_t{size} - 1);
    dst[end] = '\0';
    return dst;
}

int Snprintf(char* buf, int size, const char* format, ...) {
    if (format == nullptr) return 0;
    va_list args;
    va_start(args, format);
    int result;
    if (buf == nullptr || size < 1) {
        // Nothing may be written, but the caller still learns how long the output would be.
        result = vsnprintf(nullptr, 0, format, args);
    } else {
        result = vsnprintf(buf, static_cast<size_t>(size), format, args);
        // The system formatter may stop part-way on an error; whatever it left must still end
        // inside the buffer.
        buf[size - 1] = '\0';
        if (result < 0) result = static_cast<int>(strlen(buf));
    }
    va_end(args);
    return result;
}

char* Strtok(char* str, const char* delims, char** next, char* found) {
    if (str == nullptr) return nullptr;
    if (delims == nullptr) return str;
    // The terminator is a member, so every scan below stops at the end of the string without a
    // separate test.
    tarvex::ByteSet set;
    const unsigned char* d = reinterpret_cast<const unsigned char*>(delims);
    do {
        set.Add(*d);
    } while (*d++ != 0);

    unsigned char* p = reinterpret_cast<unsigned char*>(str);
    while (*p != 0 && set.Has(*p)) ++p;
    if (*p == 0) {
        if (next != nullptr) *next = reinterpret_cast<char*>(p);
        return nullptr;
    }
    char* token = reinterpret_cast<char*>(p);
    while (!set.Has(*p)) ++p;
    if (*p != 0) {
        if (found != nullptr) *found = static_cast<char>(*p);
        *p++ = 0;
    }
    // At the end of the string the continuation points at its terminator, so the next call
    // returns null instead of reading past it.
    if (next != nullptr) *next = reinterpret_cast<char*>(p);
    return token;
}

char* Stristr(const char* text, const char* pattern) {
    if (text == nullptr || pattern == nullptr) return nullptr;
    if (*pattern == '\0') return const_cast<char*>(text);
    const unsigned char* t = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* pat = reinterpret_cast<const unsigned char*>(pattern);
    unsigned char first = downCaseArray[pat[0]];
    for (; *t != 0; ++t) {
        if (downCaseArray[*t] != first) continue;
        size_t i = 1;
        while (pat[i] != 0 && downCaseArray[t[i]] == downCaseArray[pat[i]]) ++i;
        if (pat[i] == 0) return reinterpret_cast<char*>(const_cast<unsigned char*>(t));
        // A text that ended inside the comparison cannot hold the pattern further on either.
        if (t[i] == 0) return nullptr;
    }
    return nullptr;
}

char* Strristr(const char* text, const char* pattern) {
    if (text == nullptr || pattern == nullptr || *text == '\0') return nullptr;
    // Tested before the scan, which would otherwise report the empty match at the very end.
    if (*pattern == '\0') return const_cast<char*>(text);
    size_t text_length = strlen(text);
    size_t pattern_length = strlen(pattern);
    if (pattern_length > text_length) return nullptr;
    // Unlike Stristr this folds through the locale, which is what its callers expect of it.
    for (size_t start = text_length - pattern_length + 1; start-- > 0;) {
        if (strncasecmp(text + start, pattern, pattern_length) == 0) {
            return const_cast<char*>(text + start);
        }
    }
    return nullptr;
}

char* Strlwr(char* s) {
    if (s == nullptr) return s;
    for (unsigned char* p = reinterpret_cast<unsigned char*>(s); *p != 0; ++p) {
        *p = downCaseArray[*p];
    }
    return s;
}

// The byte is passed as a signed char: the system's case tables cover -128..255, and this keeps
// a host's results the same as when it called the system's own routine on a plain char.
char* strlwr(char* s) {
    if (s == nullptr) return s;
    for (char* p = s; *p != '\0'; ++p) *p = static_cast<char>(tolower(static_cast<signed char>(*p)));
    return s;
}

char* strupr(char* s) {
    if (s == nullptr) return s;
    for (char* p = s; *p != '\0'; ++p) *p = static_cast<char>(toupper(static_cast<signed char>(*p)));
    return s;
}

}  // extern "C"
