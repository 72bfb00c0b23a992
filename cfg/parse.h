// Parser support shared by the two configuration readers (cfg.cpp and
// reg.cpp): opening a file with its keyword list, the current token, and
// bounded string and number takers. The keyword table and the error report
// with its three-error limit are source.h's, which the scanner uses too.
// One file at a time; not re-entrant.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "cfg/scan.h"
#include "cfg/source.h"

// The current token: its code and the text the scanner wrote for it.
struct parse_token {
    int code;
    char text[TOKEN_TEXT_SIZE];
};
extern parse_token current_token;

// Opens `path` and fills the keyword table from `keywords`. Returns 0, or
// -1 when the file cannot be opened or the table cannot be built (nothing
// is left open then). Resets the status and the error count; does not read
// the first token.
int parse_begin(const char* path, const keyword_list* keywords);

// Frees the keyword table and closes the file.
void parse_end();

// Reads the next token into current_token and returns its code.
int read_token();

// Takes a string, identifier or dash word into `destination` (capacity bytes,
// always terminated; a longer text is cut and reported) and reads the next
// token: 0. Any other token is reported ("Expect string"), stepped over, and
// the destination left untouched: -1. `capacity` is at least 1.
int expect_string(char* destination, std::size_t capacity);

// Takes a number into the destination, keeping its low 8, 16 or 32 bits, and
// reads the next token: 0. Any other token stops the process ("Expect
// number").
int expect_number(std::int8_t* destination);
int expect_number(std::int16_t* destination);
int expect_number(std::int32_t* destination);

// A token that cannot begin a statement of the file: reports it as a
// keyword not found on the statement's line and moves past it.
void parse_unknown_statement(int line);

// Releases whatever an interrupted read left open (file, block buffer,
// keyword table). parse_begin does this by itself.
void parse_abandon();
