// Wildcard matching: WildCardExists, WildCardMatchEx and WildCardMatch.
//
// Directory searches and registry lookups run every name they meet through WildCardMatch, with
// patterns that come from the host and from configuration, so a careless or hostile pattern must
// not cost more than a walk over the text per pattern element. The matcher therefore never goes
// back on a choice: it keeps an anchor in the text, a resume point in the pattern (just after the
// last `*` run passed) and a flag saying whether a `*` has been passed at all. A mismatch moves the
// anchor one character on and starts again from the resume point. Only the last `*` is ever given
// more text, a bracket element takes the first alternative that matches, and the work is at most
// (text length + number of `*` runs) attempts of one pass over the pattern each.
//
// Ignore case lowers the pattern once, into a bounded copy on the stack through strlwr (which
// follows the locale), and each text character through downCaseArray (ASCII only); the caller's
// pattern is never written. Nothing here allocates, keeps state or sets the last error; it calls
// Strcpy and strlwr of str.cpp.
#include <tarvex/text.h>

#include <stddef.h>
#include <string.h>

namespace tarvex {
namespace {

// The lowered copy holds 10,239 characters and its terminator; a longer pattern is cut there.
constexpr int kFoldedPatternSize = 10240;

// Ranges compare characters as signed bytes: 0x80..0xFF rank below every ASCII character.
inline int Rank(char c) { return static_cast<signed char>(c); }

// The text character at `t` as the pattern sees it.
inline char TextChar(const char* t, bool fold) {
    return fold ? static_cast<char>(downCaseArray[static_cast<unsigned char>(*t)]) : *t;
}

// A range bound after its dash: the next character, or the one after a backslash. A backslash
// that ends the alternative has nothing to escape and stands for itself.
inline char Bound(const char* p, const char* end) {
    return *p == '\\' && p + 1 < end ? p[1] : *p;
}

// Text taken by the alternative [alt, end) at `t` (whose character is not the terminator), or -1.
// The kinds are told apart in this order: empty, leading dash, dash second, quoted, list.
ptrdiff_t MatchAlternative(const char* alt, const char* end, const char* t, bool fold) {
    const ptrdiff_t length = end - alt;
    const char c = TextChar(t, fold);
    if (length == 0) return 1;  // any one character
    if (alt[0] == '-') return length == 1 || Rank(c) <= Rank(Bound(alt + 1, end)) ? 1 : -1;
    if (length >= 2 && alt[1] == '-') {  // the lower bound is taken as it stands, never escaped
        if (Rank(c) < Rank(alt[0])) return -1;
        return length == 2 || Rank(c) <= Rank(Bound(alt + 2, end)) ? 1 : -1;
    }
    if (length >= 3 && alt[0] == '"' && end[-1] == '"') {
        const char* q = t;
        for (const char* p = alt + 1; p < end - 1; ++p, ++q) {
            if (*p == '\\' && p + 1 < end - 1) ++p;
            // The pattern holds no NUL, so the end of the text is a mismatch, never passed.
            if (TextChar(q, fold) != *p) return -1;
        }
        return q - t;
    }
    // A character list. Its backslashes are plain members, except that a backslash in the text
    // needs the list's first backslash doubled: that is how a list names the backslash.
    if (c == '\\') {
        const char* slash = static_cast<const char*>(memchr(alt, '\\', length));
        return slash != nullptr && slash + 1 < end && slash[1] == '\\' ? 1 : -1;
    }
    return memchr(alt, c, length) != nullptr ? 1 : -1;
}

// The closing `close` of a bracket body starting at `body`, skipping characters that a backslash
// takes into the body; null when the pattern ends first.
const char* BodyEnd(const char* body, char close) {
    for (const char* p = body; *p != '\0'; ++p) {
        if (*p == close) return p;
        if (*p == '\\' && *++p == '\0') return nullptr;
    }
    return nullptr;
}

// Text taken by the first alternative of the body [body, end) that matches at `t`, or -1. Every
// comma cuts: a backslash cannot protect one.
ptrdiff_t MatchBody(const char* body, const char* end, const char* t, bool fold) {
    if (body == end) return 0;  // "[]" and "()" match the empty text
    for (const char* alt = body;;) {
        const char* comma = static_cast<const char*>(memchr(alt, ',', end - alt));
        const ptrdiff_t taken = MatchAlternative(alt, comma != nullptr ? comma : end, t, fold);
        if (taken >= 0 || comma == nullptr) return taken;
        alt = comma + 1;
    }
}

bool OnlyStars(const char* p) {
    while (*p == '*') ++p;
    return *p == '\0';
}

int Match(const char* text, const char* pattern, bool fold, const char** start, const char** end) {
    const char* anchor = text;
    const char* resume = pattern;
    bool passed_star = false;
    const char* t = text;
    const char* p = pattern;
    for (;;) {
        // Once the text is used up only `*` may remain: an optional element left over fails too.
        if (*t == '\0') return OnlyStars(p);
        ptrdiff_t taken = -1;
        // A literal or bracket element that matches marks the match start (with the anchor of this
        // attempt), and a retry after one that fails clears it; `?` and escapes do neither.
        bool marks_start = true;
        switch (*p) {
            case '*':
                while (*p == '*') ++p;
                if (*p == '\0') {
                    if (end != nullptr) *end = t;
                    return 1;
                }
                anchor = t;
                resume = p;
                passed_star = true;
                continue;
            case '?':
                ++t;
                ++p;
                continue;
            case '\\':
                // A backslash that ends the pattern escapes the terminator: it matches nothing.
                marks_start = false;
                if (p[1] != '\0' && TextChar(t, fold) == p[1]) {
                    taken = 1;
                    p += 2;
                }
                break;
            case '[':
            case '(': {
                const char* close = BodyEnd(p + 1, *p == '[' ? ']' : ')');
                if (close == nullptr) return 0;  // every path to success would have to pass it
                taken = MatchBody(p + 1, close, t, fold);
                if (taken < 0 && *p == '(') {  // optional: takes nothing and marks nothing
                    p = close + 1;
                    continue;
                }
                if (taken >= 0) p = close + 1;
                break;
            }
            default:  // a literal; the pattern's terminator, facing text, is one that differs
                if (TextChar(t, fold) == *p) {
                    taken = 1;
                    ++p;
                }
                break;
        }
        if (taken >= 0) {
            if (marks_start && start != nullptr && *start == nullptr) *start = anchor;
            t += taken;
            continue;
        }
        if (!passed_star) return 0;
        if (marks_start && start != nullptr) *start = nullptr;
        // The anchor's character is not the terminator (this attempt got past it or failed on it).
        t = ++anchor;
        p = resume;
    }
}

}  // namespace
}  // namespace tarvex

extern "C" {

int WildCardExists(const char* text) {
    return text != nullptr && strpbrk(text, "?*[(") != nullptr;
}

int WildCardMatchEx(const char* text, const char* pattern, int ignore_case,
                    const char** match_start, const char** match_end) {
    if (match_start != nullptr) *match_start = nullptr;
    if (match_end != nullptr) *match_end = nullptr;
    if (text == nullptr || pattern == nullptr) return 0;
    if (ignore_case == 0) return tarvex::Match(text, pattern, false, match_start, match_end);
    char folded[tarvex::kFoldedPatternSize];
    Strcpy(folded, pattern, sizeof folded);
    strlwr(folded);
    return tarvex::Match(text, folded, true, match_start, match_end);
}

// The form the library itself uses for file and registry names, which ignore case.
int WildCardMatch(const char* text, const char* pattern) {
    return WildCardMatchEx(text, pattern, 1, nullptr, nullptr);
}

}  // extern "C"
