// The configuration file being read, as the scanner (scan.h) and the parser
// support (parse.h) both see it: its name, its keyword table, the error
// report with its three-error limit, and the allocator of the configuration
// subsystem. Below both of them, so that neither calls the other back. One
// file at a time; not re-entrant.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// One entry of a reader's keyword list; a list ends with a null text.
struct keyword_list {
    const char* text;
    std::int16_t code;
};

// Takes `path` as the name the error report gives and clears the status
// and the error count.
void source_begin(const char* path);

// Fills the keyword table from `keywords` (the table is emptied first).
// False, with its message (SM1104), when memory runs out; the table then
// holds what was added so far, for source_release_keywords.
bool source_load_keywords(const keyword_list* keywords);

// Frees the keyword table.
void source_release_keywords();

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

// Formats a reader's error message; the text grows to fit whatever token it
// quotes, so nothing is ever cut or written past a buffer.
std::string format_message(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Stops the process after a configuration error: fatal_error (the record,
// an empty line, exit status 1), unless a stop hook is installed.
[[noreturn]] void parse_fatal(const char* format, const char* arg);

// For the fuzzer only: a hook called instead of fatal_error. It must not
// return; it may throw, and the readers release what they hold as the
// exception passes. The daemon never installs one.
using parse_stop_hook = void (*)(const char* format, const char* arg);
void parse_set_stop_hook(parse_stop_hook hook);

// Every allocation of the configuration subsystem goes through this
// pointer (malloc by default; results are released with free), so that
// tests can make memory run out at a chosen point.
extern void* (*parse_alloc)(std::size_t size);
