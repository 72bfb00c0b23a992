// Utility routines shared by the daemon's subsystems: shell command capture,
// UNIX mail of trap texts, the configuration reader's fatal exit, a counted
// byte copy and a line copy. Messages go to stderr through log_line.
#pragma once
#include <cstddef>

#include "lib/paths.h"

// Writes one log record of `format` with `arg` to stderr, then a single
// '\n' straight to stderr, and ends the process with exit status 1.
[[noreturn]] void fatal_error(const char* format, const char* arg);

// Copies the low 16 bits' worth of `count` bytes from `source` to
// `destination` (which must not overlap) and returns that count: a count of
// 65536 copies nothing and returns 0.
unsigned copy_bytes(void* destination, const void* source, unsigned count);

// A malloc'd copy of `text` followed by "\n", with 80 spare bytes after the
// terminator; null when no memory is left. The caller frees it.
char* line_dup(const char* text);
