// Service start-up: the configuration files, the mailbox queue, the signal
// actions, the agents and the move into the data registry directory.
#pragma once
#include "lib/paths.h"

// The service's part of the start-up, run by subtree_init: service_init,
// then build_pairs_table with the request dispatch's methods. 0 once both
// have succeeded, -1 otherwise (a later call goes on where this one failed).
int service_start();

// Runs service_start until it has succeeded once, for every subtree row
// resolved at start-up; sets init_pending accordingly (0 once served).
int subtree_init();

// Brings the mail service up; 0 on success, -1 on failure. It may run up to
// once per subtree row until it succeeds, and every attempt goes on from
// where the last one failed: a step that completed is never repeated (no
// file is read twice, no agent started twice). Once it has succeeded it
// returns 0 at once.
// `install_dir` is the directory the mailbox queue key is made from.
int service_init(const char* install_dir = dsmux::INSTALL_DIR);

// What a start would meet in the start directory, without starting
// anything: reads `config`, "../../mailcfg" and `registry.mib` (each with
// its fragment files, a fragment left out counting as a problem) as
// service_init does (with its messages), reports each configured agent that
// is not on PATH, and, when `mib_loaded`, warns about registry entries
// nothing serves. A missing "../../mailcfg" is a warning: a start goes on
// without it. Returns the number of problems; the number of warnings goes to
// `*warnings`. Creates no queue and starts no agent.
int service_check(bool mib_loaded, int* warnings);

// Reads the MIB definitions fragments, "<defs>.d/*.defs", into the MIB after
// the main file `defs`, in byte order of their names. One that cannot be
// read is reported (SMUX4017, with its file, line and reason) and left out;
// the others are read. Returns how many were left out; service_check counts
// them as problems.
int read_definition_fragments(const char* defs);

// Test seam: forget which steps completed (the state they built stays).
void service_reset();
