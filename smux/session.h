// The SMUX session (RFC 1227): one of the two protocols behind the master
// seam (smux/master.h). The association with the master agent, the
// registration of the daemon's four subtrees one after another, the events
// the master sends, and the release at shutdown.
#pragma once
#include <cstdint>

#include "lib/paths.h"
#include "smux/master.h"
#include "smux/pairs.h"
#include "smux/peer.h"
#include "smux/subtrees.h"
#include "snmp/smux_session.h"
#include "snmp/types.h"

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
    std::int64_t answer_due = 0;  // monotonic ms: connection or register response due; 0 none
};
extern association peer_assoc;

// SMUX behind the master seam.
const master_transport* smux_transport();

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

// Answers one request (op SMUX_OP_GET, _GET_NEXT or _SET) and sends the
// response; a failing send that is not the master's loss shuts the daemon
// down (SMUX4004).
void peer_respond(smux_request* request, int op);

// Withdraws every registration and closes the association; harmless without
// one. Called at shutdown through master_release.
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
