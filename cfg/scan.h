// The configuration scanner: cuts one configuration file into tokens for the
// parser support layer (parse.h). One file at a time; not re-entrant.
#pragma once
#include <cstddef>
#include <cstdint>

// Token codes. Only these are ever produced; the keyword codes come from the
// keyword list of the file being read (parse_begin).
inline constexpr int TOK_EOF = -1;       // end of file; the text is "EOF"
inline constexpr int TOK_COMMA = 1;
inline constexpr int TOK_COLON = 3;
inline constexpr int TOK_EQUAL = 4;
inline constexpr int TOK_SEMICOLON = 5;
inline constexpr int TOK_HASH = 6;       // '#' is a token, not a comment
inline constexpr int TOK_IDENT = 7;      // identifier that is no keyword here
inline constexpr int TOK_NUMBER = 8;     // decimal, or hexadecimal after "0x"
inline constexpr int TOK_STRING = 9;     // "quoted", or a /, ./ or ../ path word
inline constexpr int TOK_CHAR = 11;      // 'c' character literal
inline constexpr int TOK_DOT = 13;
inline constexpr int TOK_ENABLED = 14;
inline constexpr int TOK_DISABLED = 15;
inline constexpr int TOK_DASHWORD = 16;  // word beginning with '-'
inline constexpr int TOK_DEBUG = 30;
inline constexpr int TOK_AGENT = 34;
inline constexpr int TOK_REGISTRY = 40;
inline constexpr int TOK_ITEM = 41;
inline constexpr int TOK_SCALAR = 42;
inline constexpr int TOK_TABLE = 43;
inline constexpr int TOK_TABLE_INDEX = 44;
inline constexpr int TOK_MAIL = 58;

// The token text buffer handed to next_token: at most 255 characters and
// the terminating zero.
inline constexpr std::size_t TOKEN_TEXT_SIZE = 256;

// The block buffer: blocks of SCAN_BLOCK bytes are read into a buffer of
// SCAN_BUFFER bytes, each followed by the block-end mark. The look-ahead
// keeps one character in front of a block, hence the two spare bytes.
inline constexpr std::size_t SCAN_BUFFER = 1024;
inline constexpr std::size_t SCAN_BLOCK = 1022;
inline constexpr unsigned char SCAN_BLOCK_END = 0xFE;

// Opens `path` for reading and reads its first block. Returns 0, or -1 after
// logging "parse: Can't open configuration file %s  (SM1106)" when the file
// cannot be opened or read (a directory, for example). A file left open by
// an abandoned read is closed first. No memory for the block buffer stops
// the process (SM1104).
int scan_open(const char* path);

// Reads the next token: writes its characters, zero-terminated, into `text`
// (TOKEN_TEXT_SIZE bytes) and returns its code. TOK_NUMBER and TOK_CHAR also
// set the number value. Lexical errors stop the process. After the end of
// the file every call returns TOK_EOF again.
int next_token(char* text);

// Frees the block buffer and closes the file; harmless when nothing is open.
void scan_close();

// The line of the current character: 1 at the start of a file.
int scan_line();

// The value of the last TOK_NUMBER or complete TOK_CHAR token.
std::int32_t scan_value();
