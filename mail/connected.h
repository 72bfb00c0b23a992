// The connected agents and the mail the daemon sends them: the list that
// MAIL_CONNECT and MAIL_DISCONNECT feed (this file owns it; the agents the
// configuration names are cfg's list, a different one), the sending of one
// mail without waiting for an answer, the stop broadcast, and taking back
// the mail that an agent whose process has gone will never read.
//
// Mail dispatch (mail.h), the status answer and the shutdown send through
// here; nothing here waits for an answer, so it needs none of them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

struct agent_entry;

// Sets the mail's `mtype` to `mbox`, `command` to `command` and `sender` to
// the daemon's queue identifier, and queues the first `length` bytes of
// `mail` (length >= 12) without waiting for an answer. `mbox` must be an
// agent's mailbox (above 1; else errno is EINVAL). A full queue is first
// relieved of the mail of agents that have gone, then given `patience_ms`
// to make room; a mail that still does not fit is dropped with a message
// (SMUX3016) rather than the daemon waiting for a reader that may never
// come. 0 when the mail was queued, -1 otherwise.
int mail_send(std::int32_t mbox, std::int32_t command, void* mail, std::size_t length, unsigned patience_ms);

// Takes back the mail waiting for `mbox`, whose process has gone, with a
// message (SMUX3017) when there was any; the count taken.
int mail_take_back(std::int32_t mbox);

// Records the agent `name` as connected at mailbox `mbox`: a new entry, or
// the entry of that name moved to `mbox`. The entry, or null when none could
// be made.
agent_entry* mail_agent_connect(std::int32_t mbox, const char* name);

// Drops the connected agent `name` with its disconnect line; false when no
// agent of that name is connected.
bool mail_agent_disconnect(const char* name);

// True when `mbox` is an agent's mailbox whose process has gone
// (mbox_gone): nobody will ever answer a mail there. Every connected agent
// at that mailbox is then dropped from the list with its disconnect line,
// as if it had disconnected, and the mail left waiting for it is taken back
// (SMUX3017). `*dropped`, when given, gets the number of agents dropped.
bool mail_agent_gone(std::int32_t mbox, int* dropped = nullptr);

// Sends a header-only mail with `command` to every connected agent (mailbox
// > 0) and empties the agent list. Returns 0.
int broadcast_mail(std::int32_t command);

// The connected agents (MAIL_CONNECT received, no MAIL_DISCONNECT since),
// in connection order. The pointers stay valid until the next mail is
// handled.
std::vector<const agent_entry*> mail_agents();

// Test seams: append an entry as a connect would (taking it over); release
// every connected agent without sending anything.
void mail_agent_add(agent_entry* entry);
void mail_agents_reset();
