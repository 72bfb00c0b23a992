// Utility routines shared by the daemon's subsystems: bounded shell command
// capture, the environment of started programs, UNIX mail of trap texts, the
// configuration reader's fatal exit, a counted byte copy and a line copy.
// Messages go to stderr through log_line.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "lib/paths.h"

// Longest shell command run_command starts, once it has wrapped the caller's
// command as "(command) 2>&1"; a longer one is refused, never cut.
inline constexpr std::size_t RUN_COMMAND_MAX = 511;
// Longest mail command line (su prefix, mail command and file name) with
// its terminator.
inline constexpr std::size_t MAIL_COMMAND_SIZE = 2048;
// How long a helper command may take, from its start to its end, before it
// is killed: the daemon serves SMUX and mail on one thread, and a helper
// that hangs must not hang the daemon with it.
inline constexpr int RUN_COMMAND_LIMIT_MS = 5000;

// Runs `command` through the shell, with a file-creation mask of 022 and the
// normal scheduling priority (0) whatever the daemon's, with its standard
// error merged into its standard output, and reads at most size - 1 bytes of that output into
// `output`, terminated. Returns 0 when the command was started and ended
// within RUN_COMMAND_LIMIT_MS, whatever its exit status; -1 when it could
// not be started or would not fit RUN_COMMAND_MAX (`output` is then
// untouched), or when it was still running at the limit: its process group
// is then killed and reaped, and `output` holds what it printed until then.
// Output beyond size - 1 bytes is not read. The command runs in a process
// group of its own with the environment of exec_environment, standard input
// shared with the caller; the caller's alarm and signal actions are left as
// they are, and a signal that interrupts the wait does not shorten it.
int run_command(const char* command, char* output, std::size_t size);

// run_command with a limit of `limit_ms` milliseconds instead of
// RUN_COMMAND_LIMIT_MS.
int run_command_within(const char* command, char* output, std::size_t size, int limit_ms);

// The environment a program that the daemon starts (an agent, a helper
// command) receives: the daemon's own, except that PATH keeps only its
// absolute directories (see search_path_dirs); when none is left PATH is
// dropped and the shell falls back on its own built-in search path. Built
// before fork, since the child may only call async-signal-safe functions.
class exec_environment {
public:
    exec_environment();
    exec_environment(const exec_environment&) = delete;
    exec_environment& operator=(const exec_environment&) = delete;
    // A null-terminated array for execve, valid while this object lives.
    char* const* envp() { return pointers_.data(); }

private:
    std::vector<std::string> entries_;
    std::vector<char*> pointers_;
};

// Mail commands running at once, at most; a mail command started beyond
// that waits until one of them has ended.
inline constexpr std::size_t MAIL_COMMANDS_MAX = 32;

// Mails `text` through the mail command `command`, run as
// `<su_prefix> "<command> < <file>"`, where <file> is a new private file
// "<tmp_prefix><pid>.XXXXXX" (created exclusively, mode 0600) holding the
// text, without waiting for it: a child of this process (its runner) runs
// the command as run_command does, so within RUN_COMMAND_LIMIT_MS, then
// logs how it ended and removes the file, while the caller goes on. A
// command that cannot be started or is killed at its limit is logged
// (SMUX3021); one that ends with a status other than 0 (127: not found) or
// by a signal is logged with that status and the first line of its output
// (SMUX3050). The runner needs no waiting for: the process that started it
// forgets it once it has ended (mail_commands_running), and a kernel that
// reaps children by itself (SIGCHLD ignored) leaves nothing behind. Returns
// -1 (and logs SMUX3020) when the text cannot be put into the file, else 0.
// At MAIL_COMMANDS_MAX runners it first waits for one to end.
int mail_command_start(const char* command, const char* text, const char* su_prefix = dsmux::SU_PREFIX,
                       const char* tmp_prefix = dsmux::MAIL_TMP_PREFIX);

// Mail commands started by this process that may still run (those known to
// have ended are forgotten first).
int mail_commands_running();

// Waits up to `limit_ms` until every mail command started has ended; true
// when none runs any more.
bool mail_commands_wait(int limit_ms);

// mail_command_start, then a wait for the command (and any other still
// running) to end: the same results and messages.
int send_mail(const char* command, const char* text, const char* su_prefix = dsmux::SU_PREFIX,
              const char* tmp_prefix = dsmux::MAIL_TMP_PREFIX);

// Writes one log record of `format` with `arg` to stderr, then a single
// '\n' straight to stderr, and ends the process with exit status 1.
[[noreturn]] void fatal_error(const char* format, const char* arg);

// Copies the low 16 bits' worth of `count` bytes from `source` to
// `destination` (which must not overlap) and returns that count: a count of
// 65536 copies nothing and returns 0.
unsigned copy_bytes(void* destination, const void* source, unsigned count);

// A malloc'd copy of `text` followed by "\n": the allocation holds 80 bytes
// after the line end, the terminator among them. Null when no memory is
// left. The caller frees it.
char* line_dup(const char* text);
