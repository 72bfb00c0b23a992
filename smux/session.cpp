// The SMUX session with the master agent: open, register the four subtrees
// one row at a time (RFC 1227 allows one outstanding RReqPDU), announce the
// start with a cold-start trap, and turn each event into its action.
#include "smux/session.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "lib/log.h"
#include "mail/agents.h"
#include "mail/mail_format.h"
#include "smux/dispatch.h"
#include "snmp/mib.h"
#include "snmp/stream.h"

using dsmux::PROGRAM_NAME;

association peer_assoc;

namespace {

// The master's ClosePDU reasons (RFC 1227 section 3.1.2).
const char* close_reason_name(int reason)
{
    static const char* const names[] = {"goingDown", "unsupportedVersion", "packetFormat",
                                        "protocolError", "internalError", "authenticationFailure"};
    return reason >= 0 && reason <= 5 ? names[reason] : "unknown reason";
}

// A close ends an association that had its subtrees as a loss (a warning,
// or news when the master is going down or has gone); before any grant a
// close for any reason but goingDown is a refusal worth naming once.
void report_close(int reason)
{
    char why[128];
    std::snprintf(why, sizeof why, "the master agent closed it: %s (%d)", close_reason_name(reason), reason);
    if (master_log_associated()) {
        master_log_lost("SMUX", why, reason == SMUX_GOING_DOWN);
        return;
    }
    if (reason == SMUX_AUTHENTICATION_FAILURE)
        master_log_failure(
            "%s: The master agent closed the SMUX association: %s (%d): it refused our identity or "
            "password (compare the peers file with its smuxpeer line), or another peer holds the "
            "identity  (SMUX4044)\n",
            PROGRAM_NAME, close_reason_name(reason), reason);
    else if (reason != SMUX_GOING_DOWN)
        master_log_failure("%s: The master agent closed the SMUX association: %s (%d)  (SMUX4044)\n", PROGRAM_NAME,
                           close_reason_name(reason), reason);
}

// How long each PDU of the release may wait for room: the shutdown must
// end in good time even when the master has stopped reading.
constexpr int RELEASE_SEND_WAIT_MS = 1000;

// Reports a failed library call in the common "%s: %s: %s [%s]  (tag)" form.
void report_smux(const char* operation, const char* tag)
{
    log_line(stderr, "%s: %s: %s [%s]  (%s)\n", PROGRAM_NAME, operation, smux_error(smux_errno), smux_info,
             tag);
}

// Ends the association from our side after a protocol fault.
void drop_association(int reason, const char* why)
{
    smux_close(reason);
    peer_assoc.answer_due = 0;
    master_log_lost("SMUX", why, false);
}

void unexpected_operation(int op)
{
    log_line(stderr, "%s: unexpected operation: %d  (SMUX4012)\n", PROGRAM_NAME, op);
    drop_association(SMUX_PROTOCOL_ERROR, "the master agent sent a PDU out of turn");
}

// Whether a register request is out and its answer not yet in.
bool registration_awaited()
{
    return peer_assoc.smux_opened && peer_assoc.cursor != nullptr && peer_assoc.cursor->name != nullptr;
}

// Sends the register request of the row under the cursor, if any.
void register_cursor()
{
    if (peer_assoc.cursor->name == nullptr)
        return;
    peer_assoc.answer_due = stream_now_ms() + MASTER_ANSWER_WAIT_MS;
    if (smux_register(peer_assoc.cursor->oid, -1, peer_assoc.cursor->mode) != 0) {
        if (peer_lost("smux_register", "SMUX4002"))
            return;
        report_smux("smux_register", "SMUX4002");
        terminate_service();
    }
}

void registration_complete()
{
    peer_assoc.answer_due = 0;
    if (peer_assoc.any_registered) {
        if (smux_trap(SNMP_TRAP_COLD_START, 0, nullptr) != 0) {
            if (peer_lost("smux_trap", "SMUX4003"))
                return;
            report_smux("smux_trap", "SMUX4003");
            terminate_service();
        }
        return;
    }
    // The master wants none of our subtrees: talking to it again would only
    // be refused again, so stay without an association and serve mail.
    peer_assoc.reconnect_off = true;
    smux_close(SMUX_GOING_DOWN);
}

void register_response(int32_t answer)
{
    if (peer_assoc.cursor == nullptr || peer_assoc.cursor->name == nullptr || peer_assoc.cursor->oid == nullptr) {
        unexpected_operation(SMUX_OP_REGISTER_RESPONSE);
        return;
    }
    if (answer == -1) {
        log_line(stderr, "%s: SMUX registration of %s failed  (SMUX4011)\n", PROGRAM_NAME, peer_assoc.cursor->name);
    } else {
        peer_assoc.any_registered = true;
        master_log_granted("SMUX");
    }
    peer_assoc.cursor = row_with_oid(peer_assoc.cursor + 1);
    if (peer_assoc.cursor->name != nullptr) {
        register_cursor();
        return;
    }
    registration_complete();
}

void commit_or_rollback(int32_t command)
{
    for (subtree* row = subtrees; row->name != nullptr; ++row) {
        if (row->oid != nullptr && row->sync != nullptr) {
            // A value other than commit or rollback is the master's fault:
            // it costs the association, never the daemon.
            if (row->sync(command) != 0)
                drop_association(SMUX_PROTOCOL_ERROR, "the master agent sent an unknown commit or rollback");
            return;
        }
    }
}

}  // namespace

void peer_respond(smux_request* request, int op)
{
    if (request == nullptr)
        return;
    dispatch_begin(op);
    answer_request(request, op);
    dispatch_end();
    if (smux_response(request) != 0) {
        if (peer_lost("smux_response", "SMUX4004"))
            return;
        log_line(stderr, "%s: %s: %s [%s]  (SMUX4004)\n", PROGRAM_NAME, "smux_response", smux_error(smux_errno),
                 smux_info);
        terminate_service();
    }
}

namespace {

// --- the seam ---------------------------------------------------------------

int connect_smux(const stream_address&) { return peer_connect(); }

int smux_descriptor()
{
    peer_sync();
    return smux_fd();
}

bool smux_opened() { return peer_assoc.smux_opened; }

std::int64_t smux_answer_due() { return smux_fd() >= 0 ? peer_assoc.answer_due : 0; }

void smux_overdue()
{
    const char* what = peer_assoc.smux_opened ? "register request" : "connection";
    char detail[96];
    std::snprintf(detail, sizeof detail, "no answer within %d seconds", MASTER_ANSWER_WAIT_MS / 1000);
    bool had = master_log_associated();
    smux_close(SMUX_GOING_DOWN);
    peer_assoc.smux_opened = false;
    peer_assoc.answer_due = 0;
    if (had)
        master_log_lost("SMUX", "the master agent stopped answering", false);
    master_log_unreachable(what, "the master agent does not answer", detail, "SMUX4051");
}

int smux_send_trap(std::int32_t specific, const snmp_varbind* list)
{
    if (smux_trap(SNMP_TRAP_ENTERPRISE_SPECIFIC, specific, list) == -1) {
        log_line(stderr, "%s: Can't send snmp trap: %s [%s]  (SMUX4022)\n", PROGRAM_NAME, smux_error(smux_errno),
                 smux_info);
        peer_sync();
        return -1;
    }
    return 0;
}

bool smux_given_up() { return peer_assoc.reconnect_off; }

// Whether something listens on the SMUX port. Nothing is sent: snmpd would
// take anything as an open, and holds a peer's identity for the connection.
bool smux_probe(const stream_address&, std::string* why)
{
    stream_address address = smux_master_address();
    stream_conn conn;
    int result = stream_open(conn, address, 16);
    if (result == STREAM_OK)
        result = stream_wait_connected(conn, 3000);
    stream_close(conn);
    *why = result == STREAM_OK ? "listening" : std::string("not listening (") + conn.info + ")";
    return result == STREAM_OK;
}

const master_transport SMUX_TRANSPORT = {
    "SMUX",          connect_smux,  smux_descriptor, smux_opened, peer_open,
    peer_receive,    smux_pending,  smux_answer_due, smux_overdue, peer_release,
    smux_send_trap,  peer_status,   smux_given_up,   smux_probe,
};

}  // namespace

const master_transport* smux_transport() { return &SMUX_TRANSPORT; }

bool peer_lost(const char* operation, const char* tag)
{
    if (!smux_lost())
        return false;
    // The master refused the connection, dropped it or stopped reading:
    // that is its own trouble, not ours. The association goes, the loop
    // tries again after the reconnection wait, mail and agents go on.
    if (master_log_associated())
        master_log_lost("SMUX", smux_info, false);
    master_log_unreachable(operation, smux_error(smux_errno), smux_info, tag);
    peer_assoc.smux_opened = false;
    peer_assoc.answer_due = 0;
    return true;
}

void peer_sync()
{
    if (smux_fd() < 0) {
        peer_assoc.smux_opened = false;
        peer_assoc.answer_due = 0;
    }
}

int peer_connect()
{
    // snmpd's SMUX master hands a longer OCTET STRING on mangled.
    mib_set_octets_limit(SMUX_MAX_OCTETS);
    int fd = smux_init(0);
    peer_assoc.smux_opened = false;
    peer_assoc.answer_due = 0;
    if (fd < 0 && !peer_lost("smux_init", "SMUX4000")) {
        report_smux("smux_init", "SMUX4000");
        terminate_service();
    }
    if (fd >= 0)
        peer_assoc.answer_due = stream_now_ms() + MASTER_ANSWER_WAIT_MS;
    return fd;
}

void peer_open()
{
    if (smux_simple_open(peer_identity(), dsmux::PEER_DESCRIPTION, peer_password(),
                         static_cast<int>(std::strlen(peer_password()))) != 0) {
        if (smux_errno == SMUX_ERR_IN_PROGRESS || peer_lost("smux_simple_open", "SMUX4005"))
            return;
        report_smux("smux_simple_open", "SMUX4005");
        terminate_service();
    }
    peer_assoc.smux_opened = true;
    master_log_opening();
    peer_assoc.cursor = row_with_oid(subtrees);
    register_cursor();
}

void peer_receive()
{
    smux_event event{};
    if (smux_wait(&event, 0) != 0) {
        if (smux_errno == SMUX_ERR_IN_PROGRESS)
            return;
        report_smux("smux_wait", "SMUX4001");
        if (smux_errno == SMUX_ERR_PDU_FORMAT) {
            // Bytes we cannot parse end this association, not the daemon:
            // the agents keep running and the loop connects again later.
            drop_association(SMUX_PROTOCOL_ERROR, "the master agent sent a malformed PDU");
            return;
        }
        terminate_service();
    }
    if (event.op != SMUX_OP_CLOSE)
        master_log_answered();  // the master is there again
    switch (event.op) {
    case SMUX_OP_CLOSE:
        // The master has closed, or the stream ended (seen as goingDown):
        // the library has let the socket go without answering.
        peer_assoc.answer_due = 0;
        report_close(event.number);
        break;
    case SMUX_OP_REGISTER_RESPONSE:
        register_response(event.number);
        break;
    case SMUX_OP_COMMIT_OR_ROLLBACK:
        commit_or_rollback(event.number);
        break;
    case SMUX_OP_GET:
    case SMUX_OP_GET_NEXT:
    case SMUX_OP_SET:
        if (registration_awaited()) {
            // snmpd answers a register request at once, so a request that
            // comes before that answer was sent before snmpd read our
            // register request. snmpd then takes the first PDU it reads
            // from us, our register request, as the answer to its request:
            // the registration is lost, and an answer from us now would
            // arrive unasked and make snmpd close the association
            // (packetFormat). So: no answer, and the register request again.
            register_cursor();
            break;
        }
        peer_respond(event.request, event.op);
        break;
    case SMUX_OP_OPEN:
    case SMUX_OP_REGISTER_REQUEST:
    case SMUX_OP_GET_RESPONSE:
    case SMUX_OP_TRAP:
        unexpected_operation(event.op);
        break;
    default:
        log_line(stderr, "%s: bad operation: %d  (SMUX4013)\n", PROGRAM_NAME, event.op);
        drop_association(SMUX_PROTOCOL_ERROR, "the master agent sent an unknown PDU");
        break;
    }
}

void peer_release()
{
    // A master that no longer reads costs the release at most one short
    // wait: the first send that finds no room drops the association, and
    // the sends after it fail at once.
    int kept = smux_set_send_wait(RELEASE_SEND_WAIT_MS);
    for (subtree* row = subtrees; row->name != nullptr; ++row)
        if (row->oid != nullptr)
            (void)smux_register(row->oid, -1, SMUX_REG_DELETE);
    smux_close(SMUX_GOING_DOWN);
    smux_set_send_wait(kept);
}

std::int32_t peer_status()
{
    if (smux_fd() < 0)
        return peer_assoc.reconnect_off ? STATUS_SMUX_OFF : STATUS_SMUX_NONE;
    if (!peer_assoc.smux_opened)
        return STATUS_SMUX_CONNECTING;
    return master_log_associated() ? STATUS_SMUX_ASSOCIATED : STATUS_SMUX_REGISTERING;
}
