// The AgentX session (RFC 2741): the other protocol behind the master seam
// (smux/master.h). Opens a session with the daemon's identity, registers
// the four subtrees one after another, answers Get, GetNext and GetBulk
// from the request dispatch, maps TestSet, CommitSet, UndoSet and
// CleanupSet onto the two mail phases of a set, sends traps as Notify, and
// unregisters and closes at shutdown.
//
// An agent sees exactly what it sees under SMUX: phase 1 of a set at
// TestSet, phase 2 only once the whole request was committed and not
// undone. A request the master sends again (net-snmp does, every second an
// answer is late, with the same transaction and packet ids) is answered
// from the first answer and never reaches an agent twice.
#pragma once

#include <cstdint>

#include "smux/master.h"

// The time-out the daemon asks its master to allow (Open): a set waits up
// to 10 seconds for its agent. net-snmp ignores it (agentxTimeout in
// snmpd.conf decides there); other masters honour it.
inline constexpr std::uint8_t AGENTX_TIMEOUT_SECONDS = 15;

// How many answers are kept for the master's retransmissions.
inline constexpr int AGENTX_ANSWERS_KEPT = 16;

// AgentX behind the master seam.
const master_transport* agentx_transport();

// Test seams: the session id the master gave (0 without a session), the
// session dropped without a word, and how long a send may wait for room
// (0 restores the usual 10 seconds).
std::uint32_t agentx_session_id();
void agentx_reset();
void agentx_set_send_wait(int milliseconds);
