// The seam between the daemon and the protocol that carries it to the host's
// master agent. The loop, the trap relay, the status answer and the shutdown
// talk to "the master" through this file; SMUX (smux/session) and AgentX
// (smux/agentx) plug in behind it, and main chooses between them with the
// --master option. Below the seam both protocols answer from the same
// request dispatch and the same pending sets.
//
// Also the association's log, shared by both protocols so that an outage is
// reported the same way whichever carried the daemon: a master that cannot
// be reached is written once per outage, a lost association once when it
// ends, a regained one once when a subtree is granted again.
#pragma once

#include <cstdint>
#include <string>

#include "snmp/stream.h"
#include "snmp/types.h"

// What one protocol offers the loop. Every member is set.
struct master_transport {
    const char* name;  // "SMUX" or "AgentX", for the log and the status
    // Starts a new association towards `address` (the AgentX address; SMUX
    // ignores it): its descriptor, or -1 when the master is not there (the
    // loop tries again after the reconnection wait). Any other failure
    // shuts the daemon down.
    int (*connect)(const stream_address& address);
    int (*fd)();                  // -1 without an association
    bool (*opened)();             // false while the connection is being made: wait for writability
    void (*writable)();           // the connection is made: open and register
    void (*readable)();           // input has come: take one PDU and act on it
    bool (*pending)();            // a whole PDU waits in the buffer already
    std::int64_t (*answer_due)(); // monotonic ms by which the master owes an answer; 0 for none
    void (*overdue)();            // that answer did not come: drop the association
    void (*release)();            // withdraws the subtrees and closes (shutdown); harmless without one
    // An enterprise-specific trap with the daemon's enterprise and
    // `specific`; 0, or -1 after logging why (SMUX4022).
    int (*send_trap)(std::int32_t specific, const snmp_varbind* list);
    std::int32_t (*state)();      // STATUS_SMUX_* of mail/mail_format.h
    bool (*given_up)();           // the master refused every subtree: no more tries
    // For --check: whether a master answers at the address (within a few
    // seconds), without registering anything; *why says what was found.
    bool (*probe)(const stream_address& address, std::string* why);
};

// How long the master may take to answer what the daemon waits for (the
// connection being made, an open, a registration): a master that accepts
// and then says nothing costs the association, not the daemon.
inline constexpr int MASTER_ANSWER_WAIT_MS = 10000;

enum class master_kind { smux, agentx, automatic };

// The AgentX master's usual socket.
inline constexpr const char* AGENTX_DEFAULT_ADDRESS = "/var/agentx/master";

// Reads an --master value: "smux", "agentx", "agentx:ADDRESS", "auto" or
// "auto:ADDRESS" (ADDRESS a unix socket path, or tcp:HOST:PORT). False for
// anything else; the choice is then unchanged.
bool master_choose(const char* text);
master_kind master_choice();
// Whether SMUX may carry the daemon (so its peers entry is needed).
bool master_may_use_smux();

// Plugs the two protocols in; main does it before the first connection.
void master_set_transports(const master_transport* smux, const master_transport* agentx);

// "SMUX to 127.0.0.1:199" or "AgentX at /var/agentx/master", the protocol
// of the association now (or of the last one tried), for the status answer:
// valid until the next call.
const char* master_status_text();

// For --check: one line per protocol that may be used, naming it and
// whether its master answers; false when none does.
bool master_probe(std::string* report);

// The loop's view, all through the current protocol. master_connect picks
// it: the one chosen, or with --master=auto AgentX when its master answers
// the connection and SMUX otherwise, decided again at every connection
// (and written to the log when it changes).
int master_connect();
int master_fd();
bool master_opened();
void master_writable();
void master_readable();
bool master_pending();
std::int64_t master_answer_due();
void master_overdue();
void master_release();
std::int32_t master_state();
bool master_given_up();
// The trap relay's send: the current protocol's enterprise-specific trap.
int master_send_trap(std::int32_t specific, const snmp_varbind* list);

// --- the association's log ------------------------------------------------

// The master could not be reached, stopped reading or refused us: written
// only for the first failure of an outage. The first form writes
// "NAME: OPERATION: ERROR [DETAIL]  (TAG)", the second a whole line.
void master_log_unreachable(const char* operation, const char* error, const char* detail, const char* tag);
void master_log_failure(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The master answered: the next failure is a new outage.
void master_log_answered();
// A new association is being opened.
void master_log_opening();
// A subtree was granted to `protocol` ("SMUX", "AgentX"): "regained" once
// when an earlier association had one.
void master_log_granted(const char* protocol);
// An association that had a subtree granted has ended: written once, as a
// warning, or at information level when `orderly` (the master going down
// or restarting). Nothing for an association that never had one.
void master_log_lost(const char* protocol, const char* why, bool orderly);
// Whether the association now has a subtree granted.
bool master_log_associated();

// Test seam: forget the log's state.
void master_log_reset();
