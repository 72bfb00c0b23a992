// Who the daemon is to its master agent, whichever protocol carries it:
// the identity (and, for SMUX, the password) from the peers file, the MIB
// definitions "<name>.defs" the subtrees are looked up in, and the subtree
// rows resolved with the service started behind them.
#pragma once

#include "lib/paths.h"
#include "smux/subtrees.h"
#include "snmp/mib.h"
#include "snmp/peers.h"
#include "snmp/types.h"

// The identity an AgentX session opens with when no peers entry names one:
// the sample peers file's, under the daemon's enterprise.
inline constexpr const char* PEER_DEFAULT_IDENTITY = "1.3.6.1.4.1.32473.11.2.11.2";

// The checks of the set-up, each logging its own message: the daemon's
// entry in the peers file (null when missing, SMUX4016), the MIB
// definitions "<name>.defs" (false when unreadable, SMUX4017), a subtree
// row's MIB type (null when the MIB does not name it, SMUX4010). The set-up
// shuts down at the first that fails; --check counts them.
smux_peer* peer_find_entry(const char* peers_file = dsmux::PEERS_FILE);
bool peer_load_definitions();
const object_type* peer_subtree_type(const subtree* row);

// The set-up runs in three steps, in this order, from main (which shows the
// whole start-up): peer_identify, peer_init_subtrees, then the first
// connection (master_connect).
//
// The daemon's entry in the peers file (identity and password of every
// open) and the MIB definitions "<name>.defs" in the working directory.
// `peers_needed`: SMUX may carry the daemon, so a missing entry shuts the
// daemon down; otherwise the entry only names the identity when there is
// one, and PEER_DEFAULT_IDENTITY stands in. Missing definitions always shut
// the daemon down.
void peer_identify(const char* peers_file = dsmux::PEERS_FILE, bool peers_needed = true);

// Whether peer_identify found the daemon's peers entry (SMUX can be used).
bool peer_has_password();

// Resolves each subtree row's OID in order and runs subtree_init as soon as
// the row has one; shuts the daemon down at a subtree the MIB does not name.
void peer_init_subtrees();

// The identity and password every open uses. The identity is the library's
// until the next peer_set_credentials; the password is "" without an entry.
const snmp_oid* peer_identity();
const char* peer_password();

// Test seam: the identity and password used at every open (normally taken
// from the peers file by peer_identify). The identity is copied.
void peer_set_credentials(const snmp_oid* identity, const char* password);
