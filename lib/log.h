// The diagnostic log: one time-stamped record per call on a standard stream.
#pragma once
#include <cstdint>
#include <cstdio>

// Syslog priorities of the records. They show only under systemd's journal
// (see log_line), where `journalctl -p` filters on them.
inline constexpr int LOG_PRI_ERR = 3;
inline constexpr int LOG_PRI_WARNING = 4;
inline constexpr int LOG_PRI_INFO = 6;

// Writes one record: the caller's formatted text (which supplies its own
// newlines), then flushes. Each line the record begins gets, before it, the
// local time as "%b %d %H:%M:%S" and one blank, and the program's name
// (log_set_program); a record that continues a line an earlier record on
// the same stream left open gets neither, so that a line written in pieces
// (an object dump) carries one stamp, at its start. Empty lines stay empty.
// Returns the number of characters written, or -1 when a write or the
// flush fails. Records on the standard error stream are errors, those on
// the standard output stream information; a record of another priority (a
// warning, or news such as an agent connecting) goes through log_line_at.
//
// When the stream is the journal stream systemd handed the daemon (its
// device and inode are those that JOURNAL_STREAM names), a line begins
// with "<N>", N its priority, which the journal takes off again and keeps
// as the line's priority, and carries no time stamp and no program name:
// the journal keeps its own time and names the program itself.
int log_line(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The same with the priority given: log_line_at(LOG_PRI_WARNING, stderr, ...)
// writes a warning.
int log_line_at(int priority, FILE* stream, const char* format, ...) __attribute__((format(printf, 3, 4)));

// The debug switch: a 32-bit value, 0 (off) when the process starts. While
// it is non-zero the request and pairs-table traces are written. The
// configuration sets it, the MAIL_DEBUG command switches it, the traces ask
// it; nothing else holds a copy.
std::int32_t log_debug_level();
inline bool log_debug_enabled() { return log_debug_level() != 0; }
void log_debug_set(std::int32_t level);
// Switches the traces: off when they are on (whatever non-zero value the
// configuration gave), on (all bits set) otherwise. Returns the new value.
std::int32_t log_debug_toggle();

// Whether `stream` (stdout or stderr) is the journal stream systemd handed
// the process.
bool log_stream_is_journal(FILE* stream);

// The program whose lines these are: off the journal each line begins with
// "NAME: " exactly once (a message that already begins with it, or with
// `alias`, an older tag of the same program, is not given a second one);
// under the journal that lead is taken off. Null, the default: the lines
// are written as they are.
void log_set_program(const char* name, const char* alias = nullptr);

// Test seam: look at JOURNAL_STREAM and the streams again at the next record.
void log_reset_journal();

