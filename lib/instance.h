// One daemon per install directory. The daemon that runs holds a write lock on
// the lock file for its whole life; a second one started by mistake finds
// it taken and stops before it touches the mailbox queue or starts agents.
// The kernel drops the lock when its holder dies, however it dies, so a
// crash never blocks the next start. Tools ask the same lock who runs.
//
// The daemon runs as root: whatever lies at the lock's path is opened
// without following a symbolic link, and only a regular file of the
// daemon's own user with mode 0600 and no other name is locked. Anything
// else is someone else's (a link to a file the daemon would create or lock,
// a file others may open to hold a read lock and block every start) and is
// replaced by a new file.
#pragma once
#include <sys/types.h>

#include "lib/paths.h"

// Takes the lock on `path` and keeps its descriptor open, close-on-exec,
// until the process ends: agents started later neither inherit the
// descriptor nor could they hold the lock (record locks belong to the
// process that took them). A missing directory of `path` (its last
// component only) is made with mode 0755. A missing file is made with mode
// 0600; a file that is not acceptable (above) is removed and made anew,
// with a warning (SMUX3051) that says what it was. Returns 0 when this
// process holds the lock; -1 when another process does, with its process
// id in `*holder`; -2 when the lock cannot be had (the directory cannot be
// made, the file cannot be made, opened, replaced or locked: errno set,
// and `*holder` 0). Taking it again in a process that holds it returns 0.
int instance_lock(const char* path = dsmux::LOCK_FILE, pid_t* holder = nullptr);

// The process id of the process that holds the lock on `path`; 0 when none
// does (or the file does not exist); -1 when the file cannot be read (a
// symbolic link is not followed).
pid_t instance_holder(const char* path = dsmux::LOCK_FILE);
