// Mail command dispatch: sending a mail and waiting for its answer
// (post_mail), taking mails one at a time and acting on their commands
// (read_mail), and the mails deferred by a reply wait. The agents that
// connects and disconnects feed are kept in connected.h, which sends for
// everyone; the alarm tick and the stop request come from agents.h.
#pragma once
#include <cstddef>
#include <cstdint>

// Results of read_mail besides the command answers MAIL_ACK and MAIL_NAK.
inline constexpr int READ_MAIL_FAILED = -1;  // receive failure
inline constexpr int READ_MAIL_STOP = 1;     // MAIL_STOP or MAIL_STOP_ALL

// Most mails kept for the polls after a reply wait; further ones are dropped
// with a message.
inline constexpr std::size_t MAIL_DEFERRED_MAX = 1000;

// The reply wait of post_mail lasts this long, in seconds.
inline constexpr unsigned MAIL_REPLY_WAIT = 10;

// Hands the body of a MAIL_TRAP (the mail from offset 12 on) to the trap
// relay. `length` is the number of bytes readable at `body`; read_mail has
// checked that the object name, the item indexes and the NUL-terminated
// text all lie within them. The result is ignored.
using relay_trap_hook = int (*)(const unsigned char* body, std::size_t length);
// Withdraws the SMUX registrations and closes the association at shutdown.
using peer_release_hook = void (*)();

// Connects the mail service to the SMUX side. Until this is called (or for
// a null argument) trap mails and the release at shutdown do nothing.
void mail_set_hooks(peer_release_hook peer_release, relay_trap_hook relay_trap);

// Sets the mail's `mtype` to `mbox`, `command` to `command` and `sender` to
// the daemon's queue identifier, and sends the first `length` bytes of
// `mail` (length >= 12). `mbox` must be an agent's mailbox (above 1). A full
// queue is relieved of the mail of agents that have gone and given a short
// while to make room; a mail that still does not fit is dropped with a
// message (SMUX3016). With `wait_reply`, waits for the answer of `mbox` as
// read_mail_from(false, MAIL_ACK, mbox) does; when none comes and the agent
// has gone, its mail is taken back off the queue (SMUX3017). Returns 0 when
// the mail was sent (and, when waiting, MAIL_ACK came back); -1 otherwise.
int post_mail(std::int32_t mbox, std::int32_t command, void* mail, std::size_t length,
              bool wait_reply);

// Takes one mail and acts on it. The poll (`no_wait` set, `awaited` 0)
// first serves the oldest deferred mail, if any. The reply wait (`no_wait`
// clear, `awaited` MAIL_ACK) waits up to MAIL_REPLY_WAIT seconds for
// MAIL_ACK or MAIL_NAK and defers every other mail to the following polls.
// A mail longer than the receive capacity is dropped with a message
// (SMUX3018) and the receive goes on; a mail of an unknown command is
// dropped with a message (SMUX3006). Returns -1 (receive failure), 0, 1,
// MAIL_ACK or MAIL_NAK (0 also when no mail was taken).
// Re-arms the alarm tick with the alarm period before it returns.
int read_mail(bool no_wait, std::int32_t awaited);

// read_mail whose reply wait takes only an answer whose `sender` is `from`
// (any sender when `from` is 0); other answers are deferred like any other
// mail, and the polls take them as stray answers, which change nothing.
int read_mail_from(bool no_wait, std::int32_t awaited, std::int32_t from);

// Acts on one received mail in the documented layout, `extent` bytes
// readable at `mail`, and returns what read_mail returns for it. Every field
// is checked against `extent` before use; a malformed mail is refused with a
// message and yields 0.
int mail_dispatch(unsigned char* mail, std::size_t extent);

// Answers a MAIL_CONNECT (`extent` bytes readable at `mail`): records the
// agent under its name at the mailbox in `sender` (moving an entry of the
// same name) and acknowledges it there. 0, or -1 when refused or unanswered.
int do_connect(unsigned char* mail, std::size_t extent);

// Test seam: the reply wait's length in seconds (MAIL_REPLY_WAIT unless set).
void mail_set_reply_wait(unsigned seconds);

// Number of mails deferred by reply waits and not yet served by a poll.
std::size_t mail_deferred_count();

// Drops every deferred mail (tests start from an empty deferred queue).
void mail_drop_deferred();
