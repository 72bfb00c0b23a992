// Finding a community string that the host's own SNMP master agent accepts,
// so that the trap path can query it with `getone`. Also the shell quoting
// that every command line carrying such a string relies on.
#pragma once
#include <cstddef>
#include <string>

#include "lib/lib.h"
#include "lib/paths.h"

// Runs a shell command and captures at most size - 1 bytes of its combined
// output; 0 when it ran to its end, -1 when it could not be started or was
// killed at its time limit (run_command's contract).
using command_runner = int (*)(const char* command, char* output, std::size_t size);

// Output captured per trial, and the longest command line run_command
// takes once it has wrapped it in "(...) 2>&1".
inline constexpr std::size_t COMMUNITY_OUTPUT_MAX = 512;
inline constexpr std::size_t COMMAND_LINE_MAX = RUN_COMMAND_MAX - sizeof "() 2>&1" + 1;

// The text as one shell word: enclosed in single quotes, each single quote
// written as '\'' so that no character of it can end the word or start a
// command. The empty text becomes ''.
std::string shell_quote(const char* text);

// True when captured `getone` output holds an answer: a line that begins
// with "Value:" after at least one line end.
bool getone_answered(const char* output);

// Reads the community file at `path` and tries its "ip" lines' communities
// with getone against 127.0.0.1 (through `runner`), local addresses first,
// then the others from the last line back to the first. Returns a malloc'd
// copy of the first community that answers, which the caller frees, or null
// (no file, no usable line, or no answer); `trials`, when given, is set to
// the number of getone runs, so that a caller can tell "nothing to try"
// (0) from "no answer". Writes nothing to the log itself
// (run_command reports a getone it had to kill). The file is open, close-on-
// exec, while the trials run.
char* find_community(const char* path = dsmux::COMMUNITY_FILE,
                     command_runner runner = run_command, int* trials = nullptr);
