// The diagnostic log: one time-stamped record per call on a standard stream.
#pragma once
#include <cstdio>

// Writes the local time as "%b %d %H:%M:%S", one blank, then the caller's
// formatted text (which supplies its own newline), and flushes. Returns the
// number of characters written, or -1 when a write or the flush fails.
int log_line(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
