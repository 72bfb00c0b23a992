// The SMUX session with the master agent: open, register the four subtrees
// one row at a time (RFC 1227 allows one outstanding RReqPDU), announce the
// start with a cold-start trap, and turn each event into its action.
#include "smux/session.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "lib/log.h"
#include "lib/mail_format.h"
#include "mail/agents.h"
#include "smux/dispatch.h"
#include "smux/pairs.h"
#include "smux/service.h"
#include "snmp/peers.h"

using dsmux::PROGRAM_NAME;

subtree subtrees[SUBTREE_COUNT + 1] = {
    {"vdnStdEquipment", nullptr, SMUX_REG_READ_WRITE, subtree_init, sync_vdn},
    {"vdnSystemInfo", nullptr, SMUX_REG_READ_WRITE, subtree_init, sync_vdn},
    {"vdnHealth", nullptr, SMUX_REG_READ_WRITE, subtree_init, sync_vdn},
    {"vdnSm2", nullptr, SMUX_REG_READ_WRITE, subtree_init, sync_vdn},
    {nullptr, nullptr, 0, nullptr, nullptr},
};

association peer_assoc;

namespace {

// See init_pending(); written by subtree_init only.
std::uint8_t init_state = INIT_PENDING;

// Whether the association now open has had a subtree granted, and whether
// any association before it had: the second makes a new grant a regained
// association, which is worth one line in the log.
bool associated_now = false;
bool associated_before = false;

// The master's ClosePDU reasons (RFC 1227 section 3.1.2).
const char* close_reason_name(int reason)
{
    static const char* const names[] = {"goingDown", "unsupportedVersion", "packetFormat",
                                        "protocolError", "internalError", "authenticationFailure"};
    return reason >= 0 && reason <= 5 ? names[reason] : "unknown reason";
}

// Set once a refusal of our identity has been reported: a master that keeps
// refusing it is reported once, not at every retry; cleared with
// loss_reported when the master answers anything else.
bool refusal_reported = false;

// A close for any reason but goingDown is a fault worth naming; goingDown
// is the master's orderly end and passes quietly.
void report_close(int reason)
{
    if (reason == SMUX_AUTHENTICATION_FAILURE && !std::exchange(refusal_reported, true))
        log_line(stderr,
                 "%s: The master agent closed the SMUX association: %s (%d): it refused our identity or "
                 "password (compare the peers file with its smuxpeer line), or another peer holds the "
                 "identity  (SMUX4044)\n",
                 PROGRAM_NAME, close_reason_name(reason), reason);
    else if (reason != SMUX_GOING_DOWN && reason != SMUX_AUTHENTICATION_FAILURE)
        log_line(stderr, "%s: The master agent closed the SMUX association: %s (%d)  (SMUX4044)\n", PROGRAM_NAME,
                 close_reason_name(reason), reason);
}

// The peers-file entry, looked up once and used at every open.
snmp_oid* peer_identity = nullptr;
char peer_password[SMUX_PEER_TEXT_MAX + 1] = "";

// How long each PDU of the release may wait for room: the shutdown must
// end in good time even when the master has stopped reading.
constexpr int RELEASE_SEND_WAIT_MS = 1000;

// Set once an unreachable master has been reported, so that a master that
// stays away is reported once and not at every retry; cleared when the
// master answers again.
bool loss_reported = false;

// Reports a failed library call in the common "%s: %s: %s [%s]  (tag)" form.
void report_smux(const char* operation, const char* tag)
{
    log_line(stderr, "%s: %s: %s [%s]  (%s)\n", PROGRAM_NAME, operation, smux_error(smux_errno), smux_info,
             tag);
}

// Ends the association from our side after a protocol fault.
void drop_association(int reason)
{
    smux_close(reason);
}

void unexpected_operation(int op)
{
    log_line(stderr, "%s: unexpected operation: %d  (SMUX4012)\n", PROGRAM_NAME, op);
    drop_association(SMUX_PROTOCOL_ERROR);
}

// The first row at or after `row` whose OID is known (possibly the end row).
subtree* row_with_oid(subtree* row)
{
    while (row->name != nullptr && row->oid == nullptr)
        ++row;
    return row;
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
    if (smux_register(peer_assoc.cursor->oid, -1, peer_assoc.cursor->mode) != 0) {
        if (peer_lost("smux_register", "SMUX4002"))
            return;
        report_smux("smux_register", "SMUX4002");
        terminate_service();
    }
}

void registration_complete()
{
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
    drop_association(SMUX_GOING_DOWN);
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
        if (!associated_now && associated_before)
            log_line_at(LOG_PRI_INFO, stderr, "%s: SMUX association with the master agent regained  (SMUX4045)\n",
                        PROGRAM_NAME);
        associated_now = true;
        associated_before = true;
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
            row->sync(command);
            return;
        }
    }
}

}  // namespace

bool peer_lost(const char* operation, const char* tag)
{
    if (!smux_lost())
        return false;
    // The master refused the connection, dropped it or stopped reading:
    // that is its own trouble, not ours. The association goes, the loop
    // tries again after the reconnection wait, mail and agents go on.
    if (!loss_reported)
        report_smux(operation, tag);
    loss_reported = true;
    peer_assoc.smux_opened = false;
    return true;
}

void peer_sync()
{
    if (smux_fd() < 0)
        peer_assoc.smux_opened = false;
}

void peer_set_credentials(const snmp_oid* identity, const char* password)
{
    free_oid(peer_identity);
    peer_identity = identity ? oid_cpy(identity) : nullptr;
    std::snprintf(peer_password, sizeof peer_password, "%s", password ? password : "");
}

int peer_resolve_subtrees()
{
    int resolved = 0;
    for (subtree* row = subtrees; row->name != nullptr; ++row) {
        free_oid(row->oid);
        row->oid = nullptr;
        object_type* type = text2obj(row->name);
        if (type != nullptr && type->oid != nullptr) {
            row->oid = oid_cpy(type->oid);
            ++resolved;
        }
    }
    return resolved;
}

smux_peer* peer_find_entry(const char* peers_file)
{
    smux_peer* entry = getsmuxEntrybyname(PROGRAM_NAME, peers_file);
    if (entry == nullptr)
        log_line(stderr, "%s: Can't find \"%s\" in %s  (SMUX4016)\n", PROGRAM_NAME, PROGRAM_NAME, peers_file);
    return entry;
}

bool peer_load_definitions()
{
    char defs[SMUX_PEER_TEXT_MAX + 1];
    std::snprintf(defs, sizeof defs, "%s.defs", PROGRAM_NAME);
    if (readobjects(defs) == 0)
        return true;
    log_line(stderr, "%s: Can't find or interpret MIB file: %s  (SMUX4017)\n", PROGRAM_NAME, defs);
    return false;
}

const object_type* peer_subtree_type(const subtree* row)
{
    const object_type* type = text2obj(row->name);
    if (type != nullptr && type->oid != nullptr)
        return type;
    log_line(stderr, "%s: Can't convert text to object: %s  (SMUX4010)\n", PROGRAM_NAME, row->name);
    return nullptr;
}

void peer_identify(const char* peers_file)
{
    smux_peer* entry = peer_find_entry(peers_file);
    if (entry == nullptr)
        terminate_service();
    peer_set_credentials(entry->identity, entry->password);
    if (!peer_load_definitions())
        terminate_service();
}

void peer_init_subtrees()
{
    for (subtree* row = subtrees; row->name != nullptr; ++row) {
        const object_type* type = peer_subtree_type(row);
        if (type == nullptr)
            terminate_service();
        free_oid(row->oid);
        row->oid = oid_cpy(type->oid);
        if (row->init != nullptr)
            (void)row->init();
    }
}

int peer_connect()
{
    int fd = smux_init(0);
    peer_assoc.smux_opened = false;
    if (fd < 0 && !peer_lost("smux_init", "SMUX4000")) {
        report_smux("smux_init", "SMUX4000");
        terminate_service();
    }
    return fd;
}

void peer_open()
{
    if (smux_simple_open(peer_identity, dsmux::PEER_DESCRIPTION, peer_password,
                         static_cast<int>(std::strlen(peer_password))) != 0) {
        if (smux_errno == SMUX_ERR_IN_PROGRESS || peer_lost("smux_simple_open", "SMUX4005"))
            return;
        report_smux("smux_simple_open", "SMUX4005");
        terminate_service();
    }
    peer_assoc.smux_opened = true;
    associated_now = false;
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
            drop_association(SMUX_PROTOCOL_ERROR);
            return;
        }
        terminate_service();
    }
    if (event.op != SMUX_OP_CLOSE)
        loss_reported = refusal_reported = false;  // the master is there again
    switch (event.op) {
    case SMUX_OP_CLOSE:
        // The master has closed, or the stream ended (seen as goingDown):
        // the library has let the socket go without answering.
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
        dispatch_request(event.request, event.op);
        break;
    case SMUX_OP_OPEN:
    case SMUX_OP_REGISTER_REQUEST:
    case SMUX_OP_GET_RESPONSE:
    case SMUX_OP_TRAP:
        unexpected_operation(event.op);
        break;
    default:
        log_line(stderr, "%s: bad operation: %d  (SMUX4013)\n", PROGRAM_NAME, event.op);
        drop_association(SMUX_PROTOCOL_ERROR);
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
    return associated_now ? STATUS_SMUX_ASSOCIATED : STATUS_SMUX_REGISTERING;
}

std::uint8_t init_pending() { return init_state; }

void peer_set_init_pending(std::uint8_t value) { init_state = value; }

int subtree_init()
{
    if (init_state == 0)
        return 0;
    if (service_start() != 0) {
        init_state = INIT_PENDING;
        return -1;
    }
    init_state = 0;
    return 0;
}

void sync_vdn(int command)
{
    switch (command) {
    case SMUX_COMMIT:
        flush_pending_sets(true);
        break;
    case SMUX_ROLLBACK:
        flush_pending_sets(false);
        break;
    default:
        log_line(stderr, "%s: %s: Unknown command: %d  (SMUX4014)\n", PROGRAM_NAME, "sync_vdn", command);
        terminate_service();
    }
}
