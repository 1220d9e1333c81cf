// Line splitting and trimming: ParseLine, ParseLineRo, StripCharsEx and its shorter forms, and
// RemoveCRLF.
//
// CreateProcessA splits command lines with ParseLine; the rest serve the host's own configuration
// lines. ParseLine and ParseLineRo share one walk that finds the fields without writing; ParseLine
// then cuts them in place and ParseLineRo reports starts and lengths, so the two cannot drift
// apart. Every loop stops at a terminator or at the caller's capacity. Nothing here allocates,
// keeps state or sets the last error.
#include <tarvex/text.h>

#include <stddef.h>
#include <string.h>

#include "text/byte_set.h"

namespace tarvex {
namespace {

constexpr int kNoRoom = 71;  // no capacity, or no line, array or separator set to work on

constexpr unsigned char kRemoveQuotes = 1;
constexpr unsigned char kEverySeparator = 2;
constexpr unsigned char kKeepQuotes = 4;

struct SplitRules {
    ByteSet separators;
    bool group_quotes;     // a quoted section holds no separator
    bool remove_quotes;    // one leading and one trailing quote leave each field
    bool every_separator;  // each separator ends a field, so runs and ends give empty fields
};

SplitRules RulesFor(const char* separators, unsigned char flags) {
    return {ByteSet::Of(separators), (flags & (kRemoveQuotes | kKeepQuotes)) != 0,
            (flags & kRemoveQuotes) != 0 && (flags & kKeepQuotes) == 0,
            (flags & kEverySeparator) != 0};
}

struct Split {
    int count;       // fields found; the capacity when full
    bool blank;      // nothing but separators (runs of them collapsing), or an empty line
    bool full;       // the array filled up before the line ended
    size_t end;      // offset of the separator that filled the array, or of the line's terminator
    char separator;  // the separator that filled the array
};

// The end of the quoted section opened at `open`: the first following quote that is not followed
// by another one (so a run of quotes ends it at its last quote), or the line's terminator.
size_t QuoteEnd(const char* line, size_t open) {
    size_t p = open + 1;
    while (line[p] != '\0' && !(line[p] == '"' && line[p + 1] != '"')) ++p;
    return p;
}

// Walks the line once, calling field(index, start, end) for each field as it ends, at a separator
// or at the terminator. Only offsets behind the walk may change under it (ParseLine cuts there).
template <typename OnField>
Split Walk(const char* line, const SplitRules& rules, int capacity, OnField field) {
    size_t p = 0;
    if (!rules.every_separator) {
        while (rules.separators.Has(line[p])) ++p;
    }
    if (line[p] == '\0') return {0, true, false, p, '\0'};
    int index = 0;
    size_t start = p;
    bool after_separator = false;
    while (line[p] != '\0') {
        const char c = line[p];
        if (c == '"' && rules.group_quotes) {
            p = QuoteEnd(line, p);
            if (line[p] != '\0') ++p;
            after_separator = false;
            continue;
        }
        if (!rules.separators.Has(c)) {
            after_separator = false;
        } else if (after_separator && !rules.every_separator) {
            start = p + 1;  // a run of separators counts as one
        } else {
            field(index, start, p);
            if (index == capacity - 1) return {capacity, false, true, p, c};
            ++index;
            start = p + 1;
            after_separator = true;
        }
        ++p;
    }
    field(index, start, p);
    // Separators at the end of the line leave an empty field after them, which only counts when
    // every separator ends a field.
    return {after_separator && !rules.every_separator ? index : index + 1, false, false, p, '\0'};
}

}  // namespace
}  // namespace tarvex

extern "C" {

int ParseLine(char* line, char** fields, int* count, const char* separators, unsigned char flags) {
    if (line == nullptr || fields == nullptr || count == nullptr || separators == nullptr ||
        *count <= 0) {
        return tarvex::kNoRoom;
    }
    const int capacity = *count;
    const tarvex::SplitRules rules = tarvex::RulesFor(separators, flags);
    auto cut = [&](int i, size_t start, size_t end) {
        line[end] = '\0';
        if (rules.remove_quotes) {
            if (line[start] == '"') ++start;
            if (end > start && line[end - 1] == '"') line[end - 1] = '\0';
        }
        fields[i] = line + start;
    };
    const tarvex::Split split = tarvex::Walk(line, rules, capacity, cut);
    if (split.blank) {
        line[0] = '\0';
        for (int i = 0; i < capacity; ++i) fields[i] = line;
        *count = 0;
        return 0;
    }
    if (split.full) {
        // The last field gets the rest of the line: its separator goes back over the field's
        // terminator (where a removed closing quote was, if quotes are removed).
        char* last = fields[capacity - 1];
        if (line[split.end + 1] != '\0') last[strlen(last)] = split.separator;
        *count = capacity;
        return 1;
    }
    for (int i = split.count; i < capacity; ++i) fields[i] = line + split.end;
    *count = split.count;
    return 0;
}

// A full array is reported as ParseLine reports it, so that a caller can switch between the two:
// the count is the capacity and the last field covers the rest of the line, unless the separator
// that filled the array ends the line.
int ParseLineRo(const char* line, const char** starts, DWORD* lengths, int* count,
                const char* separators, unsigned char flags) {
    if (line == nullptr || starts == nullptr || lengths == nullptr || count == nullptr ||
        separators == nullptr || *count <= 0) {
        return tarvex::kNoRoom;
    }
    const int capacity = *count;
    tarvex::SplitRules rules = tarvex::RulesFor(separators, flags);
    rules.remove_quotes = false;  // the line is not ours to change: quotes group but stay
    auto report = [&](int i, size_t start, size_t end) {
        starts[i] = line + start;
        lengths[i] = static_cast<DWORD>(end - start);
    };
    const tarvex::Split split = tarvex::Walk(line, rules, capacity, report);
    if (split.blank) {
        const DWORD length = static_cast<DWORD>(strlen(line));
        for (int i = 0; i < capacity; ++i) starts[i] = line, lengths[i] = length;
        *count = 0;
        return 0;
    }
    if (split.full) {
        const char* last = starts[capacity - 1];
        if (line[split.end + 1] != '\0') lengths[capacity - 1] = static_cast<DWORD>(strlen(last));
        *count = capacity;
        return 1;
    }
    for (int i = split.count; i < capacity; ++i) starts[i] = line + split.end, lengths[i] = 0;
    *count = split.count;
    return 0;
}

// The start is cleaned first: first what the keep set lacks, then what the strip set holds (two
// runs, not one mixed run). Removed bytes never linger after the new terminator: the text moves
// down once and the bytes it leaves are zeroed, as moving it one character at a time would.
char* StripCharsEx(char* text, const char* keep, const char* strip, DWORD where, DWORD* removed) {
    size_t gone = 0;
    if (text != nullptr) {
        const tarvex::ByteSet keep_set = tarvex::ByteSet::Of(keep);
        const tarvex::ByteSet strip_set = tarvex::ByteSet::Of(strip);
        auto unkept = [&](char c) { return keep != nullptr && !keep_set.Has(c); };
        auto stripped = [&](char c) { return strip != nullptr && strip_set.Has(c); };
        size_t length = strlen(text);
        if (where == 0 || where == 2) {
            size_t n = 0;
            while (n < length && unkept(text[n])) ++n;
            while (n < length && stripped(text[n])) ++n;
            memmove(text, text + n, length - n + 1);
            memset(text + length - n + 1, 0, n);
            length -= n;
            gone += n;
        }
        if (where == 1 || where == 2) {
            size_t n = length;
            while (n > 0 && unkept(text[n - 1])) --n;
            while (n > 0 && stripped(text[n - 1])) --n;
            memset(text + n, 0, length - n);
            gone += length - n;
        }
        if (where == 3) {
            size_t kept = 0;
            for (size_t i = 0; i < length; ++i) {
                if (!unkept(text[i]) && !stripped(text[i])) text[kept++] = text[i];
            }
            memset(text + kept, 0, length - kept);
            gone = length - kept;
        }
    }
    if (removed != nullptr) *removed = static_cast<DWORD>(gone);
    return text;
}

char* StripChars(char* text, const char* keep, const char* strip, DWORD where) {
    return StripCharsEx(text, keep, strip, where, nullptr);
}

char* StripSpaceEx(char* text, DWORD where) { return StripChars(text, nullptr, " \t", where); }

char* StripSpace(char* text) { return StripSpaceEx(text, 0); }

// The end is cleaned before the start. StripChars at both ends cleans the start first, but leaves
// the same bytes: either way every removed byte ends up zero behind the text.
char* RemoveCRLF(char* text) { return StripChars(text, nullptr, "\r\n", 2); }

}  // extern "C"
