// Parser support shared by the two configuration readers (cfg.cpp and
// reg.cpp): the per-file keyword table, the current token, bounded string
// and number takers, and the error report with its three-error limit.
// One file at a time; not re-entrant.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "cfg/scan.h"

// One entry of a reader's keyword list; a list ends with a null text.
struct keyword_list {
    const char* text;
    std::int16_t code;
};

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

// The scanner's keyword test: the code of `text` in the current file's
// keyword table (exact, case-sensitive), or TOK_IDENT.
int keyword_code(const char* text);

// Reports `message` for `line` as
//   "dorsrvsmuxd: <file>: line <line>: <message>  (SMUX4026)\n"
// on stderr and marks the file as failed. A fatal error, and the third error
// of a file, stop the process with exit status 1.
void parse_error(const char* message, int line, bool fatal);

// 0 while the current file has had no error, -1 after one.
int parse_status();

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

// Formats a reader's error message; the text grows to fit whatever token it
// quotes, so nothing is ever cut or written past a buffer.
std::string format_message(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A token that cannot begin a statement of the file: reports it as a
// keyword not found on the statement's line and moves past it.
void parse_unknown_statement(int line);

// Stops the process after a configuration error: fatal_error (the record,
// an empty line, exit status 1), unless a stop hook is installed.
[[noreturn]] void parse_fatal(const char* format, const char* arg);

// For the fuzzer only: a hook called instead of fatal_error. It must not
// return; it may throw, and the readers release what they hold as the
// exception passes. The daemon never installs one.
using parse_stop_hook = void (*)(const char* format, const char* arg);
void parse_set_stop_hook(parse_stop_hook hook);

// Releases whatever an interrupted read left open (file, block buffer,
// keyword table). parse_begin does this by itself.
void parse_abandon();

// Every allocation of the configuration subsystem goes through this
// pointer (malloc by default; results are released with free), so that
// tests can make memory run out at a chosen point.
extern void* (*parse_alloc)(std::size_t size);
