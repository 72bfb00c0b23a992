// The SMUX session: the one association with the host's master agent, the
// registration of the daemon's four subtrees one after another, the events
// the master sends, and the release at shutdown. Also the two handlers every
// subtree row carries: the one-time initialisation and commit-or-rollback.
#pragma once
#include <cstdint>

#include "lib/paths.h"
#include "snmp/mib.h"
#include "snmp/peers.h"
#include "snmp/smux_session.h"
#include "snmp/types.h"

// One row of the subtree table; the table ends with a row whose name is null.
struct subtree {
    const char* name;    // MIB descriptor of the subtree root
    snmp_oid* oid;       // filled in by peer_init_subtrees; null until then
    int mode;            // smux_register operation
    int (*init)();       // initialisation handler
    void (*sync)(int);   // commit-or-rollback handler
};

inline constexpr int SUBTREE_COUNT = 4;
extern subtree subtrees[SUBTREE_COUNT + 1];

// Association state, written by this file only (tests reset it). The
// descriptor is not kept here: the SMUX library holds it (smux_fd(), -1
// without an association), and a connection it drops is gone for us too.
// `smux_opened` is set once the OpenPDU went out and means nothing while
// there is no descriptor; `reconnect_off` once the master refused every
// subtree (no new association is attempted after that).
struct association {
    bool smux_opened = false;
    bool reconnect_off = false;
    bool any_registered = false;  // never cleared, not even by a new association
    subtree* cursor = nullptr;    // row whose register response is awaited
};
extern association peer_assoc;

// 255 until service start-up and the pairs table have both succeeded, then
// 0. Requests for the daemon's objects are refused while it is non-zero.
// subtree_init is its only writer.
inline constexpr std::uint8_t INIT_PENDING = 255;
std::uint8_t init_pending();

// Test seam: set init_pending as subtree_init would (tests that build the
// pairs table by hand open the requests with it).
void peer_set_init_pending(std::uint8_t value);

// The checks of the set-up, each logging its own message: the daemon's
// entry in the peers file (null when missing, SMUX4016), the MIB
// definitions "<name>.defs" (false when unreadable, SMUX4017), a subtree
// row's MIB type (null when the MIB does not name it, SMUX4010). The set-up
// shuts down at the first that fails; --check counts them.
smux_peer* peer_find_entry(const char* peers_file = dsmux::PEERS_FILE);
bool peer_load_definitions();
const object_type* peer_subtree_type(const subtree* row);

// The set-up runs in three steps, in this order, from main (which shows the
// whole start-up): peer_identify, peer_init_subtrees, peer_connect.
//
// The daemon's entry in the peers file (identity and password of every
// open) and the MIB definitions "<name>.defs" in the working directory.
// Shuts the daemon down when either is missing.
void peer_identify(const char* peers_file = dsmux::PEERS_FILE);

// Resolves each subtree row's OID in order and runs the row's init handler
// (subtree_init) as soon as the row has one; shuts the daemon down at a
// subtree the MIB does not name.
void peer_init_subtrees();

// Starts a new association (smux_init): the descriptor is then being
// connected and no OpenPDU has gone out. A master that is not there is
// reported as peer_lost does and waited for (-1 returned); any other failure
// writes SMUX4000 and shuts down. Returns the descriptor.
int peer_connect();

// The new descriptor is writable: send the OpenPDU and the first register
// request.
void peer_open();

// The open descriptor is readable: take one event and act on it.
void peer_receive();

// Withdraws every registration and closes the association; harmless without
// one. Called by terminate_service.
void peer_release();

// The association's state as a status answer reports it (STATUS_SMUX_*).
std::int32_t peer_status();

// After a failed library call: when the master refused the connection,
// dropped it or stopped reading (smux_lost()), reports it in the
// "%s: %s: %s [%s]  (tag)" form, the first time only until the master
// answers again, marks the association lost (the loop makes a new one after
// the reconnection wait) and returns true. Any other failure: false, and
// nothing done.
bool peer_lost(const char* operation, const char* tag);

// Marks the association lost when the library has dropped it meanwhile (a
// trap send that found the master not reading, say).
void peer_sync();

// Runs service_start (service_init, then the pairs table) until it has
// succeeded once; sets init_pending accordingly.
int subtree_init();

// Commit (0) or rollback (1) of the pending sets; anything else shuts down.
void sync_vdn(int command);

// Test seam: the identity and password used at every open (normally taken
// from the peers file by peer_identify). The identity is copied.
void peer_set_credentials(const snmp_oid* identity, const char* password);

// Test seam: resolves the subtree OIDs from the loaded MIB without running
// the init handlers. Returns the number of rows resolved.
int peer_resolve_subtrees();
