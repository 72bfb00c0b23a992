// One daemon per install directory. The daemon that runs holds a write lock
// on the lock file for its whole life; a second one started by mistake finds
// it taken and stops before it touches the mailbox queue or starts agents.
// The kernel drops the lock when its holder dies, however it dies, so a
// crash never blocks the next start. Tools ask the same lock who runs.
#pragma once
#include <sys/types.h>

#include "lib/paths.h"

// Takes the lock on `path` (created mode 0600 if missing) and keeps its
// descriptor open, close-on-exec, until the process ends: agents started
// later neither inherit the descriptor nor could they hold the lock (record
// locks belong to the process that took them). Returns 0 when this process
// holds it; -1 when another process does, with its process id in
// `*holder`; -2 when the file cannot be opened or locked (errno set, and
// `*holder` 0). Taking it again in a process that holds it returns 0.
int instance_lock(const char* path = dsmux::LOCK_FILE, pid_t* holder = nullptr);

// The process id of the process that holds the lock on `path`; 0 when none
// does (or the file does not exist); -1 when the file cannot be read.
pid_t instance_holder(const char* path = dsmux::LOCK_FILE);
