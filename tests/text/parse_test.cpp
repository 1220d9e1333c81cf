// Line splitting (in place and read-only) and trimming.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

// Fields joined by '|'; `ro` is ParseLineRo's view where it differs (it never removes quotes).
// Slots past the count must hold the end of the line, or the line itself when it held no field.
TEST(ParseLine, SplitsBySeparatorsQuotesAndFlagsAndFillsTheRestOfTheArray) {
    const struct { const char *line, *separators; int flags, capacity, result, count;
                   const char *fields, *ro = {}; } cases[] = {
        {"  ls  -l   /tmp ", " ", 0, 8, 0, 3, "ls|-l|/tmp"}, {"a,,b,", ",", 2, 8, 0, 4, "a||b|"},
        {"a \"b c\" d", " ", 1, 8, 0, 3, "a|b c|d", "a|\"b c\"|d"}, {"a \"b c\" d", " ", 4, 8, 0, 3, "a|\"b c\"|d"},
        {"a \"b c\" d", " ", 5, 8, 0, 3, "a|\"b c\"|d"}, {"a b c d", " ", 0, 2, 1, 2, "a|b c d"},
        {"a b c ", " ", 0, 3, 1, 3, "a|b|c"}, {"a b  ", " ", 0, 2, 1, 2, "a|b  "}, {"a,,b", ",", 2, 2, 1, 2, "a|,b"},
        {"a b c", " ", 0, 1, 1, 1, "a b c"}, {"a,b", ",", 2, 2, 0, 2, "a|b"}, {"a b", " ", 0, 0, 71, 0, ""},
        {"a \"b\" c", " ", 1, 2, 1, 2, "a|b ", "a|\"b\" c"},  // the separator goes back where the quote was
        {"   ", " ", 0, 4, 0, 0, ""}, {"", " ", 2, 3, 0, 0, ""}, {",a", ",", 2, 4, 0, 2, "|a"},
        {",,", ",", 2, 4, 0, 3, "||"}, {"a  ", " ", 0, 4, 0, 1, "a"}, {"a b", "", 0, 4, 0, 1, "a b"},
        {"a\"b\" c", " ", 1, 4, 0, 2, "a\"b|c", "a\"b\"|c"}, {"\"\" x", " ", 1, 4, 0, 2, "|x", "\"\"|x"},
        {"\"x\"", " ", 1, 2, 0, 1, "x", "\"x\""}, {"a \"b c", " ", 1, 4, 0, 2, "a|b c", "a|\"b c"},
        {"\"a\"\" b\" c", " ", 4, 4, 0, 2, "\"a\"\"|b\" c"},  // a run of quotes ends the section at its last
        {"\"a b\"", " ", 0, 4, 0, 2, "\"a|b\""}, {"a\xFF" "b", "\xFF", 0, 4, 0, 2, "a|b"},
        {" one;two \tthree;", " ;\t", 0, 8, 0, 3, "one|two|three"}};
    for (const auto& c : cases) {
        const size_t length = strlen(c.line), rest = c.count == 0 ? 0 : length;
        std::vector<char> line(c.line, c.line + length + 1);
        char* fields[8] = {};
        const char* starts[8] = {};
        DWORD lengths[8] = {};
        int count = c.capacity, ro_count = c.capacity;
        const int result = ParseLine(line.data(), fields, &count, c.separators, c.flags);
        const int ro_result = ParseLineRo(c.line, starts, lengths, &ro_count, c.separators, c.flags);
        std::string got, ro;
        for (int i = 0; i < count; ++i) got.append(i ? "|" : "").append(fields[i]);
        for (int i = 0; i < ro_count; ++i) ro.append(i ? "|" : "").append(starts[i], lengths[i]);
        EXPECT_EQ(std::tuple(result, count, got), std::tuple(c.result, c.count, c.fields)) << c.line;
        EXPECT_EQ(std::tuple(ro_result, ro_count, ro), std::tuple(c.result, c.count, c.ro ? c.ro : c.fields))
            << c.line;
        for (int i = c.count; i < c.capacity; ++i) {
            EXPECT_TRUE(fields[i] == line.data() + rest && *fields[i] == '\0') << c.line << " slot " << i;
            EXPECT_TRUE(starts[i] == c.line + rest && lengths[i] == length - rest) << c.line << " slot " << i;
        }
        EXPECT_TRUE(c.result != 71 || (line.data() == std::string(c.line) && !fields[0] && !starts[0]));
    }
    int n = 4, negative = -1;
    char text[] = "a b", *f[4];
    const char* s[4];
    DWORD l[4];
    for (int result : {ParseLine(nullptr, f, &n, " ", 0), ParseLine(text, nullptr, &n, " ", 0),
                       ParseLine(text, f, nullptr, " ", 0), ParseLine(text, f, &n, nullptr, 0),
                       ParseLine(text, f, &negative, " ", 0), ParseLineRo(nullptr, s, l, &n, " ", 0),
                       ParseLineRo(text, nullptr, l, &n, " ", 0), ParseLineRo(text, s, nullptr, &n, " ", 0),
                       ParseLineRo(text, s, l, nullptr, " ", 0), ParseLineRo(text, s, l, &n, nullptr, 0)})
        EXPECT_EQ(result, 71);
    EXPECT_TRUE(n == 4 && !strcmp(text, "a b"));
}

// Every removed byte is zero after the new terminator, as if the text moved one character at a time.
// Kinds: x StripCharsEx, e StripSpaceEx, s StripSpace, r RemoveCRLF (-1: no count).
TEST(StripChars, RemovesWhatTheKeepSetLacksThenWhatTheStripSetHoldsWhereAsked) {
    const struct { char kind; const char *text, *keep, *strip; DWORD where; const char* want; int removed = -1; }
        cases[] = {
        {'x', "xx12yy", "0123456789", {}, 2, "12", 4}, {'x', "a-b_c", "abc", {}, 3, "abc", 2},
        {'x', "cacb", "ab", "a", 0, "cb", 2}, {'x', "bcac", "ab", "a", 1, "bc", 2},  // keep set first, then strip set
        {'x', "a1b2c3", {}, "2", 3, "a1bc3", 1}, {'x', "x2a2b", "ax2", "2", 3, "xa", 3}, {'x', "", "a", "b", 2, "", 0},
        {'x', "x\xFFy", "xy", {}, 3, "xy", 1}, {'x', "  a  ", {}, " ", 0, "a  ", 2}, {'x', " a ", {}, " ", 1, " a", 1},
        {'x', "   ", {}, " ", 2, "", 3}, {'x', "  x  ", {}, " ", 4, "  x  ", 0}, {'x', "abc", {}, {}, 3, "abc", 0},
        {'s', " \t a b ", {}, {}, 0, "a b "}, {'e', " \tab \t", {}, {}, 1, " \tab"}, {'e', " \ta b\t", {}, {}, 3, "ab"},
        {'r', "\n\r\n", {}, {}, 0, ""}, {'r', "\r\nline\r\n", {}, {}, 0, "line"}, {'r', "a\rb\n", {}, {}, 0, "a\rb"},
        {'r', "", {}, {}, 0, ""}};
    for (const auto& c : cases) {
        std::vector<char> text(c.text, c.text + strlen(c.text) + 1);
        char* t = text.data();
        DWORD removed = 99;
        char* out = c.kind == 'x' ? StripCharsEx(t, c.keep, c.strip, c.where, &removed) : c.kind == 'e'
                  ? StripSpaceEx(t, c.where) : c.kind == 's' ? StripSpace(t) : RemoveCRLF(t);
        EXPECT_EQ(std::tuple(out, std::string(t), c.removed < 0 ? -1 : int(removed)),
                  std::tuple(t, std::string(c.want), c.removed)) << c.text << " where " << c.where;
        EXPECT_EQ(std::string(t + strlen(t), &text.back() + 1), std::string(text.size() - strlen(t), '\0')) << c.text;
    }
    DWORD removed = 99;
    EXPECT_TRUE(!StripCharsEx(nullptr, "a", "b", 2, &removed) && !removed && !StripSpace(nullptr) && !RemoveCRLF(0));
}
