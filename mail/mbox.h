// Mailboxes: the thin layer over the System V message queue that carries
// every mail between the daemon and its agents. A mailbox is a message type
// within the one queue: 1 for the daemon, the process id for everyone else.
//
// Callers work with mails in the documented layout (mail/mail_format.h): a
// 32-bit `mtype` at offset 0 and the rest after it. The kernel's message
// type is a C long, so this layer hands the kernel `mtype` as the type and
// the mail's bytes 4 .. L-1 plus four zero bytes as the text of size L, and
// rebuilds the documented layout on receipt.
#pragma once
#include <cstddef>

#include "lib/paths.h"
#include "mail/mail_format.h"

// `ftok` project identifier, shared with the agent library.
inline constexpr int MBOX_PROJECT_ID = MAIL_QUEUE_PROJECT_ID;

// The message type this process receives: -1 until the first receive, then
// 1 when that receive was on the service's queue (mbox_service_qid), the process id otherwise. It never
// changes afterwards.
extern long mbox_rtype;

// How long a send waits for room in a full queue, in milliseconds, before
// it gives up. A queue fills when a mailbox's reader is gone or stuck; the
// daemon must not wait on it for good.
inline constexpr unsigned MBOX_SEND_PATIENCE_MS = 500;
// Longest pause between two tries of mbox_create to replace a queue that
// someone else keeps re-creating under the key.
inline constexpr long MBOX_CREATE_PAUSE_MAX_MS = 200;

// Opens the queue whose key ftok derives from `install_dir` and raises its
// byte limit by 4096. A queue already there is reused only when
// mail_queue_refusal (mail/mail_kernel.h) has nothing against it; any other
// is removed and a fresh one made with IPC_EXCL and mode 0600, so nobody
// else can read, send to or remove the daemon's mail. A queue that keeps
// coming back is removed again, with short pauses, until the daemon's own
// stands: the first removal of such a streak is logged (SMUX3022), and so
// is the end of a streak of more than one. Returns the queue identifier, or
// -1 (msgget fails, a foreign queue cannot be removed). IPC_SET failures
// are logged and the queue is used with its current limit.
int mbox_create(const char* install_dir = dsmux::INSTALL_DIR);

// Queues the mail of `length` bytes at `mail` (only those bytes are read;
// 12 <= length <= MAIL_TEXT_MAX). Never blocks on a full queue: it tries
// again for up to `patience_ms` milliseconds and then fails with EAGAIN.
// The pending alarm is suspended for the duration of the send and re-armed
// afterwards with the time it had left. Returns `length`, or -1 with errno
// set. Writes no message.
int mbox_send(int qid, const void* mail, std::size_t length,
              unsigned patience_ms = MBOX_SEND_PATIENCE_MS);

// Takes the oldest mail of this process's type from queue `qid` into
// `buffer`, which must hold `capacity` + 4 bytes (capacity <= MAIL_TEXT_MAX).
// On success the buffer holds the mail in the documented layout, and the
// bytes readable are the returned text size + 4. Returns the text size
// (> 0); 0 when no mail was taken (none waiting in no-wait mode, or a signal
// ended the wait); -1 on failure, errno left for the caller's message. A
// mail longer than `capacity` is taken off the queue and thrown away (it
// would otherwise block the mailbox for good): -1 with errno E2BIG.
int mbox_receive(int qid, void* buffer, std::size_t capacity, bool no_wait);

// True when `mbox` is an agent's mailbox (a process id above 1) whose
// process no longer exists: nobody will ever read its mail.
bool mbox_gone(long mbox);

// Takes every mail addressed to `mbox` off queue `qid` without reading it;
// returns how many were taken. For mailboxes whose reader is gone.
int mbox_reclaim(int qid, long mbox);

// Removes the queue and every mail in it: 0, or -1.
int mbox_remove(int qid);

// The daemon's own queue. Whoever creates it through mbox_open_service owns
// it; every sender and receiver of the daemon asks mbox_service_qid.
//
// Creates the queue as mbox_create does and makes it the service's queue.
// Returns its identifier, or -1 (the service then has none).
int mbox_open_service(const char* install_dir = dsmux::INSTALL_DIR);
// The service's queue identifier, or -1 while it has none.
int mbox_service_qid();
// Removes the service's queue, if there is one, and forgets it.
void mbox_close_service();
// Test seam: forget the service's queue without removing it.
void mbox_forget_service();
