// The token codes of the configuration language: what the scanner (scan.h)
// produces, what the readers' keyword lists (source.h) map words to, and
// what the parser support and the readers test for.
#pragma once

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
