// The configuration scanner: cuts one configuration file into tokens for the
// parser support layer (parse.h), mapping words through the keyword table
// and reporting its errors through source.h. One file at a time; not
// re-entrant.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cfg/tokens.h"

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
