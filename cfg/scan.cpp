// The configuration scanner. The file is read in blocks into one fixed
// buffer whose data is followed by a block-end mark, so that the scanner
// allocates nothing per token and never backs up by more than its one
// character of look-ahead; tokens, strings and comments may straddle blocks.
#include "cfg/scan.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cfg/source.h"
#include "lib/log.h"

namespace {

constexpr int END = -1;  // current() at the end of the file

FILE* scan_file;
unsigned char* block;      // SCAN_BUFFER bytes
unsigned char* cursor;     // the current character
unsigned char* block_end;  // where the block-end mark after the data stands
int line_number = 1;
std::int32_t number_value;
char* token;               // the caller's text buffer for this token
std::size_t stored;        // characters stored for this token

// Reads up to one block to `at` and marks its end. The mark is also kept
// as a pointer: a 0xFE byte that is part of the file is then an ordinary
// byte, never taken for the end of the block.
bool read_block(unsigned char* at)
{
    std::size_t got = std::fread(at, 1, SCAN_BLOCK, scan_file);
    at[got] = SCAN_BLOCK_END;
    block_end = at + got;
    return !(got < SCAN_BLOCK && std::ferror(scan_file));
}

void refill(unsigned char* at)
{
    if (!read_block(at))
        parse_error("read error", line_number, true);
}

int current()
{
    return cursor == block_end ? END : *cursor;
}

// Moves past the current character; landing on the block-end mark reads the
// next block at once. At the end of the file the cursor stays put.
void advance()
{
    if (cursor == block_end)
        return;
    if (++cursor == block_end) {
        refill(block);
        cursor = block;
    }
}

// The character after the current one (which must not be the end). When the
// current character is the last of its block it moves to the first byte of
// the buffer and the next block is read right behind it: 1 + SCAN_BLOCK + 1
// bytes fit the buffer.
int peek()
{
    if (cursor + 1 == block_end) {
        block[0] = *cursor;
        cursor = block;
        refill(block + 1);
    }
    return cursor + 1 == block_end ? END : cursor[1];
}

void store(char c)
{
    if (stored >= TOKEN_TEXT_SIZE - 1)
        parse_fatal("parse: Input line too large  (SM1107)", "");
    token[stored++] = c;
}

void take()
{
    store(static_cast<char>(*cursor));
    advance();
}

void finish()
{
    token[stored] = '\0';
}

bool is_digit(int c) { return c >= '0' && c <= '9'; }
bool is_letter(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_hex(int c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int hex_digit(int c) { return is_digit(c) ? c - '0' : (c | 0x20) - 'a' + 10; }

// The number conversions behave as the 32-bit C library's did: a value too
// large for its type gives the type's largest value instead of wrapping.

// Unsigned hexadecimal after the "0x": a leading hyphen negates (modulo
// 2^32), anything else that is no hex digit ends the reading.
std::uint32_t hex_value(const char* text)
{
    bool negative = *text == '-';
    if (negative)
        ++text;
    std::uint64_t value = 0;
    for (; is_hex(static_cast<unsigned char>(*text)); ++text) {
        value = value * 16 + static_cast<unsigned>(hex_digit(static_cast<unsigned char>(*text)));
        if (value > 0xFFFFFFFFu)
            return 0xFFFFFFFFu;
    }
    auto low = static_cast<std::uint32_t>(value);
    return negative ? 0u - low : low;
}

// Unsigned decimal, as in a numeric escape: a leading hyphen negates
// (modulo 2^32), as the hexadecimal reading does.
std::uint32_t unsigned_decimal_value(const char* text)
{
    bool negative = *text == '-';
    if (negative)
        ++text;
    std::uint64_t value = 0;
    for (; is_digit(static_cast<unsigned char>(*text)); ++text) {
        value = value * 10 + static_cast<unsigned>(*text - '0');
        if (value > 0xFFFFFFFFu)
            return 0xFFFFFFFFu;
    }
    auto low = static_cast<std::uint32_t>(value);
    return negative ? 0u - low : low;
}

// Leading decimal digits, up to `limit`.
std::uint32_t decimal_value(const char* text, std::uint32_t limit)
{
    std::uint64_t value = 0;
    for (; is_digit(static_cast<unsigned char>(*text)); ++text) {
        value = value * 10 + static_cast<unsigned>(*text - '0');
        if (value > limit)
            return limit;
    }
    return static_cast<std::uint32_t>(value);
}

// The escapes shared by words and character literals, or -1.
int simple_escape(int c)
{
    switch (c) {
    case '\'': return '\'';
    case '\\': return '\\';
    case 'b': return 8;
    case 'n': return 10;
    case 'r': return 13;
    case 't': return 9;
    default: return -1;
    }
}

// A quoted string (when the current character is a double quote) or an
// unquoted word. The character that ends a word is consumed and counts as
// the token's closing zero byte.
void read_word()
{
    bool quoted = current() == '"';
    if (quoted)
        advance();
    for (;;) {
        int c = current();
        if (c == END || (!quoted && c == ';'))
            break;
        if (c == '\\') {
            advance();
            int next = current();
            if (next == END)
                break;
            advance();
            int escaped = next == '"' ? '"' : simple_escape(next);
            if (escaped >= 0)
                store(static_cast<char>(escaped));
            else if (next == '\n')
                ++line_number;  // dropped, but still a line of the file
            continue;
        }
        if (c == '"' || (!quoted && (c == ' ' || c == '\t' || c == '\n'))) {
            advance();
            store('\0');
            if (c == '\n')
                ++line_number;
            break;
        }
        take();
        if (c == '\n')
            ++line_number;
    }
    finish();
}

void read_number()
{
    if (current() == '0' && peek() == 'x') {
        take();
        take();
        while (is_hex(current()) || current() == '-')
            take();
        finish();
        number_value = static_cast<std::int32_t>(hex_value(token + 2));
        return;
    }
    while (is_digit(current()) || current() == '-')
        take();
    finish();
    number_value = static_cast<std::int32_t>(decimal_value(token, 0x7FFFFFFFu));
}

// A character literal: every character of it is stored; the value is that
// of its last character (0 when empty) and is set only when the closing
// apostrophe is found.
void read_char_literal()
{
    take();
    int value = 0;
    for (;;) {
        int c = current();
        if (c == END)
            break;
        if (c == '\'') {
            take();
            number_value = value;
            break;
        }
        take();
        if (c != '\\') {
            value = c;
            if (c == '\n')
                ++line_number;
            continue;
        }
        int escaped = simple_escape(current());
        if (escaped >= 0) {
            take();
            value = escaped;
            continue;
        }
        std::size_t start = stored;
        std::uint32_t number;
        if (current() == '0' && peek() == 'x') {
            take();
            take();
            while (is_hex(current()) || current() == '-')
                take();
            finish();
            number = hex_value(token + start + 2);
        } else {
            while (is_digit(current()) || current() == '-')
                take();
            finish();
            number = unsigned_decimal_value(token + start);
        }
        if (current() != '\'')
            parse_error("bad character", line_number, true);
        value = static_cast<int>(number & 0xFF);
    }
    finish();
}

// Skips a comment; the current character is the slash of "/*".
void skip_comment()
{
    advance();
    advance();
    for (;;) {
        int c = current();
        if (c == END)
            parse_error("unfinished comment", line_number, true);
        if (c == '*' && peek() == '/') {
            advance();
            advance();
            return;
        }
        if (c == '/' && peek() == '*')
            parse_error("nested comment", line_number, true);
        if (c == '\n')
            ++line_number;
        advance();
    }
}

int read_identifier()
{
    for (int c = current(); is_letter(c) || is_digit(c) || c == '_' || c == '.' || c == '/' || c == '-';
         c = current())
        take();
    finish();
    return keyword_code(token);
}

int single(int code)
{
    take();
    finish();
    return code;
}

}  // namespace

int scan_open(const char* path)
{
    scan_close();
    scan_file = std::fopen(path, "re");
    if (scan_file != nullptr) {
        block = static_cast<unsigned char*>(parse_alloc(SCAN_BUFFER));
        if (block == nullptr)
            parse_fatal("parse: Can't allocate memory for %s  (SM1104)\n", "file buffer");
        block[SCAN_BUFFER - 1] = SCAN_BLOCK_END;
        cursor = block;
        line_number = 1;
        // A path that opens but cannot be read (a directory) is as good as
        // missing.
        if (read_block(block))
            return 0;
        scan_close();
    }
    log_line(stderr, "parse: Can't open configuration file %s  (SM1106)", path);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    return -1;
}

void scan_close()
{
    std::free(block);
    block = nullptr;
    cursor = block_end = nullptr;
    if (scan_file != nullptr)
        std::fclose(scan_file);
    scan_file = nullptr;
}

int scan_line()
{
    return line_number;
}

std::int32_t scan_value()
{
    return number_value;
}

int next_token(char* text)
{
    token = text;
    stored = 0;
    text[0] = '\0';
    for (;;) {
        int c = current();
        switch (c) {
        case END:
            std::strcpy(text, "EOF");
            return TOK_EOF;
        case '\n':
            ++line_number;
            advance();
            continue;
        case ' ':
        case '\t':
            advance();
            continue;
        case '"':
            read_word();
            return TOK_STRING;
        case '#': return single(TOK_HASH);
        case ',': return single(TOK_COMMA);
        case ':': return single(TOK_COLON);
        case ';': return single(TOK_SEMICOLON);
        case '=': return single(TOK_EQUAL);
        case '\'':
            read_char_literal();
            return TOK_CHAR;
        case '-':
            take();
            read_word();
            return TOK_DASHWORD;
        case '.':
            take();
            if (current() == '.' || current() == '/') {
                read_word();
                return TOK_STRING;
            }
            finish();
            return TOK_DOT;
        case '/':
            if (peek() == '*') {
                skip_comment();
                continue;
            }
            read_word();
            return TOK_STRING;
        default:
            break;
        }
        if (is_digit(c)) {
            read_number();
            return TOK_NUMBER;
        }
        if (is_letter(c))
            return read_identifier();
        // The byte is shown as the signed char it was on the original
        // platform, so 0x80 and up print as ffffff80 and so on.
        std::string message = format_message(
            "illegal character 0x%x", static_cast<unsigned>(static_cast<std::int32_t>(static_cast<signed char>(c))));
        parse_error(message.c_str(), line_number, true);
    }
}
