// The daemon's command line and the guards of a start. Without options the
// daemon starts as it always has; `--check [DIR]` reads everything a start
// would read and reports what the start would meet, starting nothing;
// `--version` prints the version.
#pragma once
#include "lib/paths.h"

// Acts on the command line. Returns -1 when the daemon is to start (no
// options), otherwise the exit status: 0 or 1 after --check (1 when it found
// a problem), 0 after --version or --help, 2 after a usage error.
int daemon_options(int argc, char** argv, const char* peers_file = dsmux::PEERS_FILE);

// Before a start touches anything shared: takes the instance lock on
// `lock_file` (a daemon already running for this install directory stops
// this one with exit status 1, and the running one is left alone; a lock
// file that cannot be made or locked costs a warning only), and
// warns when the peers file, which holds the SMUX password, can be read by
// group or others or holds the old sample password.
void daemon_guard(const char* lock_file = dsmux::LOCK_FILE, const char* peers_file = dsmux::PEERS_FILE);

// Writes the warning about a peers file that group or others can read;
// returns 1 when it did, 0 otherwise (also when the file is missing).
int peers_mode_warning(const char* peers_file = dsmux::PEERS_FILE);

// Writes the warning about a peers entry that still holds the sample
// password earlier releases shipped (SMUX4060); 1 when it did, else 0.
int peers_password_warning(const char* peers_file = dsmux::PEERS_FILE);
