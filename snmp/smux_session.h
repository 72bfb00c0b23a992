// The SMUX association (RFC 1227) towards the local SNMP master agent: one
// TCP connection, the events the master sends on it, and the PDUs this
// sub-agent sends back.
//
// Single-threaded and process-wide: there is at most one association.
// Routines report failure the way the rest of the daemon does (0 on success,
// -1 on failure) and leave a code in smux_errno and a detail in smux_info
// (snmp/errors.h).
#pragma once

#include <sys/select.h>

#include "snmp/errors.h"
#include "snmp/smux_pdu.h"
#include "snmp/stream.h"
#include "snmp/types.h"

inline constexpr int SMUX_DEFAULT_PORT = 199;
// How long one PDU may wait for room in the socket buffer by default. The
// master reads every PDU promptly; a buffer that stays full means it is not
// reading any more.
inline constexpr int SMUX_SEND_WAIT_MS = 10000;

// True when the last failure was the master refusing or dropping the
// connection, or not reading (a send found no room within the send wait).
// smux_errno is then SMUX_ERR_SYSTEM, and the library has closed the
// descriptor: the caller treats it as a lost association and connects
// again later. False after any other failure.
bool smux_lost(void);

// Where smux_init connects: 127.0.0.1 and the "smux" service's TCP port
// (199 when the service is unknown). Tests point it at a listener of their
// own; a null host or a port of 0 restores the default.
void smux_set_master(const char* host, int port);

// Where smux_init connects now (after smux_set_master).
stream_address smux_master_address(void);

// How long each following PDU may wait for room in the socket buffer
// (milliseconds; 0 or less restores SMUX_SEND_WAIT_MS). The wait is one
// deadline on the monotonic clock, not renewed by interrupted waits; when it
// passes, the call fails (smux_lost()) and the association is gone.
// Returns the previous setting.
int smux_set_send_wait(int milliseconds);

// Starts a non-blocking TCP connection to the master (TCP_NODELAY) and
// returns its descriptor, or -1 (smux_lost() when the master refused it). The connection completes later: wait for the
// descriptor to be writable, then call smux_simple_open. Any previous
// association is dropped first. debug is accepted and ignored.
int smux_init(int debug);

// The association's descriptor, -1 when there is none.
int smux_fd(void);

// Sends the simple OpenPDU (version 0). Fails with SMUX_ERR_IN_PROGRESS while
// the connection is still being made; with SMUX_ERR_SYSTEM when it failed
// (and smux_lost() when the master refused it or is not reading).
//
// Every send (this one and those below) goes out whole in one write, tried
// at once and waiting for room only when the socket would block; it fails
// with SMUX_ERR_SYSTEM and smux_lost(), association dropped, when the master
// does not take it within the send wait.
int smux_simple_open(const snmp_oid* identity, const char* description,
                     const char* password, int password_len);

// Sends a register request for subtree; the master's answer arrives later as
// a SMUX_OP_REGISTER_RESPONSE event. operation is SMUX_REG_*. Like
// smux_response and smux_trap, it fails with SMUX_ERR_NOT_OPEN until the
// OpenPDU has been sent: the master drops a peer whose first PDU is not the
// open.
int smux_register(const snmp_oid* subtree, int priority, int operation);

// Takes one event. secs 0 never blocks; secs > 0 waits up to that long for a
// whole PDU; -1 waits without limit. Returns 0 and fills *event, or -1 with
// SMUX_ERR_IN_PROGRESS when no whole PDU has arrived yet (the partial PDU is
// kept), SMUX_ERR_PDU_FORMAT for malformed bytes (the caller should close
// with SMUX_PROTOCOL_ERROR), SMUX_ERR_NOT_OPEN without an association. The end
// of the TCP stream or a reset arrives as a SMUX_OP_CLOSE event with reason
// SMUX_GOING_DOWN. After any SMUX_OP_CLOSE event, the master's ClosePDU
// included, the library has closed the connection without answering.
// An event's request belongs to the library, valid until the next
// smux_wait or smux_close.
int smux_wait(smux_event* event, int secs);

// True while a whole PDU is already buffered, so that smux_wait will deliver
// it without reading the socket.
bool smux_pending(void);

// Sends the request back as a GetResponse. If its encoding would exceed
// SMUX_MAX_PDU, sends instead a tooBig response with the same request id, the
// varbinds' names and NULL values, error index 0 (and no varbinds if even
// that would not fit); this still counts as success. The record is not
// consumed.
int smux_response(smux_request* request);

// Sends a trap: enterprise SMUX_ENTERPRISE, agent-addr 127.0.0.1, time-stamp
// in hundredths of a second since smux_init, then varbinds (not consumed).
// Refused with SMUX_ERR_TOO_BIG when the PDU would exceed SMUX_MAX_PDU or a
// value is an OCTET STRING of more than SMUX_MAX_OCTETS bytes.
int smux_trap(int generic, int specific, const snmp_varbind* varbinds);

// Sends a ClosePDU with reason when an association is open, then closes the
// descriptor and drops any buffered input. Safe to call without an
// association. Returns 0.
int smux_close(int reason);

// Like select(2) with a time-out in seconds (-1 none). When the SMUX
// descriptor is in readfds and a whole PDU is already buffered, it is
// reported readable at once (together with whatever else is ready), so that
// a second PDU that arrived in the same segment as the first is not left
// waiting for more bytes that never come. Returns the ready count, 0 on
// time-out, -1 on error or signal.
int xselect(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, int secs);
