// Mailboxes: the thin layer over the System V message queue that carries
// every mail between the daemon and its agents. A mailbox is a message type
// within the one queue: 1 for the daemon, the process id for everyone else.
//
// Callers work with mails in the documented layout (lib/mail_format.h): a
// 32-bit `mtype` at offset 0 and the rest after it. The kernel's message
// type is a C long, so this layer hands the kernel `mtype` as the type and
// the mail's bytes 4 .. L-1 plus four zero bytes as the text of size L, and
// rebuilds the documented layout on receipt.
#pragma once
#include <cstddef>

#include "lib/paths.h"

// `ftok` project identifier; ftok keeps only its low eight bits (0x24).
inline constexpr int MBOX_PROJECT_ID = 0x16324;

// The daemon's queue identifier: -1 until service start-up stores the result
// of mbox_create here. Every sender and receiver of the daemon uses it.
extern int mbox_qid;

// The message type this process receives: -1 until the first receive, then
// 1 when that receive was on mbox_qid, the process id otherwise. It never
// changes afterwards.
extern long mbox_rtype;

// Opens (creating when needed, mode 0600) the queue whose key ftok derives
// from `install_dir`, and raises its byte limit by 4096. Returns the queue
// identifier, or -1 when msgget fails. IPC_STAT/IPC_SET failures are logged
// and the queue is used with its current limit.
int mbox_create(const char* install_dir = dsmux::INSTALL_DIR);

// Queues the mail of `length` bytes at `mail` (only those bytes are read;
// 12 <= length <= MAIL_TEXT_MAX). The pending alarm is suspended for the
// duration of the send and re-armed afterwards with the time it had left.
// Returns `length`, or -1 with errno set. Writes no message.
int mbox_send(int qid, const void* mail, std::size_t length);

// Takes the oldest mail of this process's type from queue `qid` into
// `buffer`, which must hold `capacity` + 4 bytes (capacity <= MAIL_TEXT_MAX).
// On success the buffer holds the mail in the documented layout, and the
// bytes readable are the returned text size + 4. Returns the text size
// (> 0); 0 when no mail was taken (none waiting in no-wait mode, or a signal
// ended the wait); -1 on failure, errno left for the caller's message.
int mbox_receive(int qid, void* buffer, std::size_t capacity, bool no_wait);

// Removes the queue and every mail in it: 0, or -1.
int mbox_remove(int qid);
