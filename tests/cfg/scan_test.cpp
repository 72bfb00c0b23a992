// The scanner, driven through parse_begin so that a keyword table is in
// place: token kinds, texts, values and lines, block boundaries, and the
// lexical errors that stop the process.
#include "cfg/scan.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cfg/parse.h"
#include "tests/cfg/cfg_fixture.h"

namespace {

using cfg_test::error_line;
using cfg_test::run_in_child;
using cfg_test::scratch_dir;

const keyword_list test_keywords[] = {
    {"agent", TOK_AGENT}, {"debug", TOK_DEBUG}, {"TABLE", TOK_TABLE}, {nullptr, 0},
};

constexpr std::int64_t NO_VALUE = INT64_MIN;  // value not checked

struct token_rec {
    int code;
    std::string text;
    std::int64_t value;  // checked for TOK_NUMBER and TOK_CHAR
    int line;            // the scanner's line once the token is read
};

bool operator==(const token_rec& a, const token_rec& b)
{
    return a.code == b.code && a.text == b.text && a.line == b.line &&
           (a.value == NO_VALUE || b.value == NO_VALUE || a.value == b.value);
}

std::ostream& operator<<(std::ostream& out, const token_rec& t)
{
    return out << "{" << t.code << ", \"" << t.text << "\", " << t.value << ", line " << t.line << "}";
}

// Scans a whole file, the final TOK_EOF included.
std::vector<token_rec> scan_file(const std::string& content)
{
    scratch_dir dir;
    std::string path = dir.write("input", content);
    std::vector<token_rec> tokens;
    if (parse_begin(path.c_str(), test_keywords) != 0)
        return tokens;
    char text[TOKEN_TEXT_SIZE];
    for (;;) {
        int code = next_token(text);
        bool valued = code == TOK_NUMBER || code == TOK_CHAR;
        tokens.push_back({code, text, valued ? scan_value() : NO_VALUE, scan_line()});
        if (code == TOK_EOF)
            break;
    }
    parse_end();
    return tokens;
}

token_rec eof(int line)
{
    return {TOK_EOF, "EOF", NO_VALUE, line};
}

struct scan_case {
    const char* name;
    std::string input;
    std::vector<token_rec> expected;
};

const std::vector<scan_case> scan_cases = {
    {"empty file", "", {eof(1)}},
    {"punctuation",
     "# , : ; = .",
     {{TOK_HASH, "#", NO_VALUE, 1},
      {TOK_COMMA, ",", NO_VALUE, 1},
      {TOK_COLON, ":", NO_VALUE, 1},
      {TOK_SEMICOLON, ";", NO_VALUE, 1},
      {TOK_EQUAL, "=", NO_VALUE, 1},
      {TOK_DOT, ".", NO_VALUE, 1},
      eof(1)}},
    {"decimal numbers",
     "42 007 12-34 99999999999",
     {{TOK_NUMBER, "42", 42, 1},
      {TOK_NUMBER, "007", 7, 1},
      {TOK_NUMBER, "12-34", 12, 1},
      {TOK_NUMBER, "99999999999", 2147483647, 1},
      eof(1)}},
    {"hexadecimal numbers",
     "0x1f 0xFF 0x-1 0x1-2 0x 0x123456789",
     {{TOK_NUMBER, "0x1f", 31, 1},
      {TOK_NUMBER, "0xFF", 255, 1},
      {TOK_NUMBER, "0x-1", -1, 1},
      {TOK_NUMBER, "0x1-2", 1, 1},
      {TOK_NUMBER, "0x", 0, 1},
      {TOK_NUMBER, "0x123456789", -1, 1},
      eof(1)}},
    {"upper-case X and a letter end a number",
     "0X1 12ab",
     {{TOK_NUMBER, "0", 0, 1},
      {TOK_IDENT, "X1", NO_VALUE, 1},
      {TOK_NUMBER, "12", 12, 1},
      {TOK_IDENT, "ab", NO_VALUE, 1},
      eof(1)}},
    {"dash words",
     "-123 -d -\"a b\" - x",
     {{TOK_DASHWORD, "-123", NO_VALUE, 1},
      {TOK_DASHWORD, "-d", NO_VALUE, 1},
      {TOK_DASHWORD, "-a b", NO_VALUE, 1},
      {TOK_DASHWORD, "-", NO_VALUE, 1},
      {TOK_IDENT, "x", NO_VALUE, 1},
      eof(1)}},
    {"identifiers and keywords",
     "agent Agent agent-x debug TABLE a_b.c/d-e9",
     {{TOK_AGENT, "agent", NO_VALUE, 1},
      {TOK_IDENT, "Agent", NO_VALUE, 1},
      {TOK_IDENT, "agent-x", NO_VALUE, 1},
      {TOK_DEBUG, "debug", NO_VALUE, 1},
      {TOK_TABLE, "TABLE", NO_VALUE, 1},
      {TOK_IDENT, "a_b.c/d-e9", NO_VALUE, 1},
      eof(1)}},
    {"quoted strings",
     "\"a b;c\" \"\" \"x\\qy\" \"say \\\"hi\\\"\" \"\\t\\n\\\\\\'\\b\\r\" \"open",
     {{TOK_STRING, "a b;c", NO_VALUE, 1},
      {TOK_STRING, "", NO_VALUE, 1},
      {TOK_STRING, "xy", NO_VALUE, 1},
      {TOK_STRING, "say \"hi\"", NO_VALUE, 1},
      {TOK_STRING, "\t\n\\'\b\r", NO_VALUE, 1},
      {TOK_STRING, "open", NO_VALUE, 1},
      eof(1)}},
    {"path words",
     "/usr/bin; ./x ../y /a,b=c#d //z /*c*/ /q\\\"r",
     {{TOK_STRING, "/usr/bin", NO_VALUE, 1},
      {TOK_SEMICOLON, ";", NO_VALUE, 1},
      {TOK_STRING, "./x", NO_VALUE, 1},
      {TOK_STRING, "../y", NO_VALUE, 1},
      {TOK_STRING, "/a,b=c#d", NO_VALUE, 1},
      {TOK_STRING, "//z", NO_VALUE, 1},
      {TOK_STRING, "/q\"r", NO_VALUE, 1},
      eof(1)}},
    {"a dot before a quote is a dot",
     ".\"s\"",
     {{TOK_DOT, ".", NO_VALUE, 1}, {TOK_STRING, "s", NO_VALUE, 1}, eof(1)}},
    {"character literals",
     "'a' '\\n' '\\0x41' '\\65' '' 'ab' '\\'' '\\300' '\\\\' '\\0x-1'",
     {{TOK_CHAR, "'a'", 'a', 1},
      {TOK_CHAR, "'\\n'", 10, 1},
      {TOK_CHAR, "'\\0x41'", 0x41, 1},
      {TOK_CHAR, "'\\65'", 65, 1},
      {TOK_CHAR, "''", 0, 1},
      {TOK_CHAR, "'ab'", 'b', 1},
      {TOK_CHAR, "'\\''", '\'', 1},
      {TOK_CHAR, "'\\300'", 300 & 0xFF, 1},
      {TOK_CHAR, "'\\\\'", '\\', 1},
      {TOK_CHAR, "'\\0x-1'", 0xFF, 1},
      eof(1)}},
    {"a hyphen before a decimal escape negates it",
     "'\\-1' '\\-5' '\\5-1' '\\-'",
     {{TOK_CHAR, "'\\-1'", 0xFF, 1},
      {TOK_CHAR, "'\\-5'", 251, 1},
      {TOK_CHAR, "'\\5-1'", 5, 1},
      {TOK_CHAR, "'\\-'", 0, 1},
      eof(1)}},
    {"a literal open at the end keeps the previous value",
     "7 'x",
     {{TOK_NUMBER, "7", 7, 1}, {TOK_CHAR, "'x", 7, 1}, eof(1)}},
    {"line counting in comments, strings, literals and word ends",
     "a\n/* one\ntwo */ b \"x\ny\" c '\n' /p\nd",
     {{TOK_IDENT, "a", NO_VALUE, 1},
      {TOK_IDENT, "b", NO_VALUE, 3},
      {TOK_STRING, "x\ny", NO_VALUE, 4},
      {TOK_IDENT, "c", NO_VALUE, 4},
      {TOK_CHAR, "'\n'", '\n', 5},
      {TOK_STRING, "/p", NO_VALUE, 6},
      {TOK_IDENT, "d", NO_VALUE, 6},
      eof(6)}},
    {"a backslash-newline inside a word is dropped but counted as a line",
     "/a\\\nb \"p\\\nq\" c",
     {{TOK_STRING, "/ab", NO_VALUE, 2},
      {TOK_STRING, "pq", NO_VALUE, 3},
      {TOK_IDENT, "c", NO_VALUE, 3},
      eof(3)}},
    {"a block-end byte inside a string is text",
     "\"a\xFE" "b\" c",
     {{TOK_STRING, "a\xFE" "b", NO_VALUE, 1}, {TOK_IDENT, "c", NO_VALUE, 1}, eof(1)}},
    {"longest identifier and quoted string",
     std::string(255, 'k') + " \"" + std::string(254, 'q') + "\"",
     {{TOK_IDENT, std::string(255, 'k'), NO_VALUE, 1},
      {TOK_STRING, std::string(254, 'q'), NO_VALUE, 1},
      eof(1)}},
};

TEST(scan, token_kinds_texts_values_and_lines)
{
    for (const scan_case& c : scan_cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(scan_file(c.input), c.expected);
    }
}

TEST(scan, end_of_file_repeats)
{
    scratch_dir dir;
    std::string path = dir.write("input", "x");
    ASSERT_EQ(parse_begin(path.c_str(), test_keywords), 0);
    char text[TOKEN_TEXT_SIZE];
    EXPECT_EQ(next_token(text), TOK_IDENT);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(next_token(text), TOK_EOF);
        EXPECT_STREQ(text, "EOF");
    }
    parse_end();
}

// A stretch of tokens that uses every look-ahead of the scanner; moved
// across the block boundaries it must always scan the same.
const std::string straddle_text =
    "agent \"quoted \\\" string\" /path/word; 0x1f 12-3 -dash 'c' '\\0x41' '\\n'\n"
    "/* comment\n with * and / */ ../up ./here .x # , : = ident_1.2/3\n"
    "\"escaped\\tstring\" 0 0xBAD 'z' TABLE\n";

std::vector<token_rec> straddle_tokens(int first_line)
{
    int l = first_line;
    return {
        {TOK_AGENT, "agent", NO_VALUE, l},
        {TOK_STRING, "quoted \" string", NO_VALUE, l},
        {TOK_STRING, "/path/word", NO_VALUE, l},
        {TOK_SEMICOLON, ";", NO_VALUE, l},
        {TOK_NUMBER, "0x1f", 31, l},
        {TOK_NUMBER, "12-3", 12, l},
        {TOK_DASHWORD, "-dash", NO_VALUE, l},
        {TOK_CHAR, "'c'", 'c', l},
        {TOK_CHAR, "'\\0x41'", 0x41, l},
        {TOK_CHAR, "'\\n'", 10, l},
        {TOK_STRING, "../up", NO_VALUE, l + 2},
        {TOK_STRING, "./here", NO_VALUE, l + 2},
        {TOK_DOT, ".", NO_VALUE, l + 2},
        {TOK_IDENT, "x", NO_VALUE, l + 2},
        {TOK_HASH, "#", NO_VALUE, l + 2},
        {TOK_COMMA, ",", NO_VALUE, l + 2},
        {TOK_COLON, ":", NO_VALUE, l + 2},
        {TOK_EQUAL, "=", NO_VALUE, l + 2},
        {TOK_IDENT, "ident_1.2/3", NO_VALUE, l + 2},
        {TOK_STRING, "escaped\tstring", NO_VALUE, l + 3},
        {TOK_NUMBER, "0", 0, l + 3},
        {TOK_NUMBER, "0xBAD", 0xBAD, l + 3},
        {TOK_CHAR, "'z'", 'z', l + 3},
        {TOK_TABLE, "TABLE", NO_VALUE, l + 3},
    };
}

TEST(scan, tokens_straddling_block_boundaries_scan_the_same)
{
    constexpr int copies = 8;  // several blocks, so later boundaries fall elsewhere too
    const int length = static_cast<int>(straddle_text.size());
    for (int pad = static_cast<int>(SCAN_BLOCK) - length - 1; pad <= static_cast<int>(SCAN_BLOCK) + 1; ++pad) {
        SCOPED_TRACE("padding " + std::to_string(pad));
        // The padding is blanks and a newline, so every copy starts on a known line.
        std::string content = std::string(static_cast<std::size_t>(pad), ' ') + "\n";
        std::vector<token_rec> expected;
        for (int i = 0; i < copies; ++i) {
            content += straddle_text;
            for (const token_rec& t : straddle_tokens(2 + 4 * i))
                expected.push_back(t);
        }
        expected.push_back(eof(2 + 4 * copies));
        std::vector<token_rec> got = scan_file(content);
        ASSERT_EQ(got, expected);
    }
}

TEST(scan, long_token_across_two_boundaries_scans_whole)
{
    // A 254-character string starting at every offset near a boundary.
    for (int pad = 900; pad <= 1030; ++pad) {
        SCOPED_TRACE("padding " + std::to_string(pad));
        std::string word(254, 'w');
        word[0] = 'a';
        word[253] = 'z';
        std::string content = std::string(static_cast<std::size_t>(pad), ' ') + "\"" + word + "\" end";
        std::vector<token_rec> expected = {
            {TOK_STRING, word, NO_VALUE, 1}, {TOK_IDENT, "end", NO_VALUE, 1}, eof(1)};
        ASSERT_EQ(scan_file(content), expected);
    }
}

// Lexical errors: printed once, an empty line, exit status 1.
struct fatal_case {
    const char* name;
    std::string input;
    std::string message;  // empty: expected_text is used instead
    int line;
    std::string expected_text;
};

TEST(scan, lexical_errors_stop_with_status_1)
{
    const std::vector<fatal_case> cases = {
        {"carriage return", "agent x;\r\n", "illegal character 0xd", 1, ""},
        {"high byte", "\n\x80", "illegal character 0xffffff80", 2, ""},
        {"block-end byte where a token begins", "\xFE", "illegal character 0xfffffffe", 1, ""},
        {"underscore", "_x", "illegal character 0x5f", 1, ""},
        {"zero byte", std::string("a\0", 2), "illegal character 0x0", 1, ""},
        {"comment glued to an identifier", "abc/*c*/", "illegal character 0x2a", 1, ""},
        {"nested comment", "/* a\n /* b */", "nested comment", 2, ""},
        {"unfinished comment", "/* a\n\n", "unfinished comment", 3, ""},
        {"bad numeric escape", "'\\q'", "bad character", 1, ""},
        {"escape without its apostrophe", "'\\65x'", "bad character", 1, ""},
        {"identifier of 256", std::string(256, 'i'), "", 0, "parse: Input line too large  (SM1107)"},
        {"quoted string of 255 and its quote", "\"" + std::string(255, 'q') + "\"", "", 0,
         "parse: Input line too large  (SM1107)"},
    };
    for (const fatal_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        std::string path = dir.write("input", c.input);
        auto result = run_in_child([&] {
            if (parse_begin(path.c_str(), test_keywords) != 0)
                return 3;
            char text[TOKEN_TEXT_SIZE];
            while (next_token(text) != TOK_EOF) {
            }
            return 0;
        });
        EXPECT_EQ(result.exit_status, 1);
        std::string expected = c.message.empty() ? c.expected_text : error_line(path, c.line, c.message);
        EXPECT_EQ(result.stderr_text, expected + "\n");
    }
}

TEST(scan, missing_file_is_reported_and_refused)
{
    scratch_dir dir;
    std::string path = dir.path() + "/absent";
    std::string text = cfg_test::capture_stderr([&] { EXPECT_EQ(parse_begin(path.c_str(), test_keywords), -1); });
    EXPECT_EQ(text, "parse: Can't open configuration file " + path + "  (SM1106)\n");
    // A directory opens but cannot be read: the same.
    text = cfg_test::capture_stderr([&] { EXPECT_EQ(parse_begin(dir.path().c_str(), test_keywords), -1); });
    EXPECT_EQ(text, "parse: Can't open configuration file " + dir.path() + "  (SM1106)\n");
}

}  // namespace
