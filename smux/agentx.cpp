// The AgentX session with the master agent: connection and open, the
// registrations, the requests, the set transaction and the notifications.
// The wire format is snmp/agentx_pdu; the connection snmp/stream.
#include "smux/agentx.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "lib/log.h"
#include "lib/paths.h"
#include "mail/agents.h"
#include "mail/mail_format.h"
#include "smux/dispatch.h"
#include "smux/pairs.h"
#include "smux/peer.h"
#include "smux/subtrees.h"
#include "snmp/agentx_pdu.h"
#include "snmp/mib.h"
#include "snmp/smux_pdu.h"
#include "snmp/stream.h"

using dsmux::PROGRAM_NAME;

namespace {

// snmpTrapOID.0, snmpTrapEnterprise.0 and coldStart (RFC 3418, RFC 3584).
constexpr uint32_t SNMP_TRAP_OID_0[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
constexpr uint32_t SNMP_TRAP_ENTERPRISE_0[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 3, 0};
constexpr uint32_t COLD_START[] = {1, 3, 6, 1, 6, 3, 1, 1, 5, 1};

// How long each PDU of the release may wait for room (see peer_release).
constexpr int RELEASE_SEND_WAIT_MS = 1000;
// A GetBulk answer stops growing well before the largest PDU.
constexpr size_t BULK_ANSWER_BUDGET = AX_MAX_PDU - 4096;

enum class phase { closed, connecting, opening, registering, open };

// An answer already sent, kept for a request the master sends again.
struct sent_answer {
    uint32_t session_id;
    uint32_t transaction_id;
    uint32_t packet_id;
    uint8_t type;
    std::vector<uint8_t> bytes;
};

struct session {
    stream_conn conn;
    phase state = phase::closed;
    uint32_t session_id = 0;
    uint32_t next_packet = 1;
    uint32_t awaited = 0;       // packet id of the Open or Register answered next
    std::int64_t due = 0;       // monotonic ms by which that answer is due; 0 none
    subtree* cursor = nullptr;  // row whose Register is out
    int64_t opened_ms = 0;      // for sysUpTime in our answers
    uint32_t last_notify = 0;   // packet id of the last Notify
    bool any_registered = false;  // in this or an earlier session
    bool reconnect_off = false;   // the master refused every subtree
    // The set transaction between TestSet and CleanupSet.
    bool in_transaction = false;
    uint32_t transaction_id = 0;
    bool committed = false;
    bool undone = false;
    std::deque<sent_answer> answers;
};

session ax;

// Deletes an SNMP varbind list when it goes out of scope.
struct varbind_list_deleter {
    void operator()(snmp_varbind* vb) const { free_varbind_list(vb); }
};
using varbind_ptr = std::unique_ptr<snmp_varbind, varbind_list_deleter>;

ax_header header_for(uint8_t type, uint32_t packet)
{
    ax_header h;
    h.type = type;
    h.flags = AX_FLAG_NETWORK_BYTE_ORDER;
    h.session_id = ax.session_id;
    h.packet_id = packet;
    return h;
}

uint32_t uptime()
{
    std::int64_t cs = (stream_now_ms() - ax.opened_ms) / 10;
    return static_cast<uint32_t>(cs < 0 ? 0 : cs);
}

// Ends the set transaction that a lost session leaves open. The master has
// heard our answer to CommitSet and may have told its client the set was
// done: an agent must then get phase 2 as under SMUX. Before that, nothing
// was promised, and the sets are dropped.
void end_transaction()
{
    if (!ax.in_transaction)
        return;
    flush_pending_sets(ax.committed && !ax.undone);
    ax.in_transaction = false;
}

// Closes the session: a Close first when one is worth sending, then the
// socket. An association that had its subtrees is reported lost.
void drop(const char* why, bool orderly, int close_reason)
{
    if (close_reason != 0 && ax.conn.fd >= 0 && ax.state != phase::connecting && ax.state != phase::closed) {
        std::vector<uint8_t> pdu;
        if (ax_build_close(pdu, header_for(AX_PDU_CLOSE, ax.next_packet++), static_cast<uint8_t>(close_reason)))
            stream_send_once(ax.conn, pdu.data(), pdu.size());
    }
    stream_close(ax.conn);
    ax.state = phase::closed;
    ax.session_id = 0;
    ax.awaited = 0;
    ax.due = 0;
    ax.answers.clear();
    end_transaction();
    master_log_lost("AgentX", why, orderly);
}

// A send failed: the stream layer has said why.
void send_failed(const char* operation, const char* tag, int result)
{
    if (result == STREAM_LOST) {
        drop(ax.conn.info, false, 0);
        master_log_unreachable(operation, "master agent lost", ax.conn.info, tag);
        return;
    }
    log_line(stderr, "%s: %s: %s  (%s)\n", PROGRAM_NAME, operation, ax.conn.info, tag);
    drop(ax.conn.info, false, AX_CLOSE_OTHER);
}

bool send_pdu(const std::vector<uint8_t>& pdu, const char* operation, const char* tag)
{
    int result = stream_send(ax.conn, pdu.data(), pdu.size());
    if (result != STREAM_OK) {
        send_failed(operation, tag, result);
        return false;
    }
    return true;
}

void await(uint32_t packet)
{
    ax.awaited = packet;
    ax.due = stream_now_ms() + MASTER_ANSWER_WAIT_MS;
}

// --- open and registration ----------------------------------------------------

void send_cold_start()
{
    std::vector<ax_varbind> list(2);
    ax_oid_set(&list[0].name, SNMP_TRAP_OID_0, std::size(SNMP_TRAP_OID_0));
    list[0].type = AX_OBJECT_ID;
    ax_oid_set(&list[0].oid, COLD_START, std::size(COLD_START));
    ax_oid_set(&list[1].name, SNMP_TRAP_ENTERPRISE_0, std::size(SNMP_TRAP_ENTERPRISE_0));
    list[1].type = AX_OBJECT_ID;
    ax_oid_set(&list[1].oid, SMUX_ENTERPRISE_IDS, SMUX_ENTERPRISE_LENGTH);
    std::vector<uint8_t> pdu;
    ax.last_notify = ax.next_packet++;
    if (ax_build_varbinds(pdu, header_for(AX_PDU_NOTIFY, ax.last_notify), list))
        (void)send_pdu(pdu, "agentx_notify", "SMUX4003");
}

void register_cursor()
{
    ax.cursor = row_with_oid(ax.cursor);
    if (ax.cursor->name == nullptr) {
        ax.due = 0;
        ax.awaited = 0;
        ax.state = phase::open;
        if (ax.any_registered) {
            send_cold_start();
            return;
        }
        // The master wants none of our subtrees: asking again would only
        // be refused again, so stay without a session and serve mail.
        ax.reconnect_off = true;
        drop("the master agent refused every subtree", true, AX_CLOSE_SHUTDOWN);
        return;
    }
    ax_oid subtree;
    std::vector<uint8_t> pdu;
    uint32_t packet = ax.next_packet++;
    if (!ax_oid_from_snmp(&subtree, ax.cursor->oid) ||
        !ax_build_registration(pdu, header_for(AX_PDU_REGISTER, packet), 0, AX_PRIORITY_DEFAULT, subtree)) {
        log_line(stderr, "%s: AgentX registration of %s failed: cannot encode its OID  (SMUX4011)\n", PROGRAM_NAME,
                 ax.cursor->name);
        ++ax.cursor;
        register_cursor();
        return;
    }
    await(packet);
    (void)send_pdu(pdu, "agentx_register", "SMUX4002");
}

void open_answered(const ax_pdu& pdu)
{
    if (pdu.error != 0) {
        master_log_failure("%s: The master agent refused the AgentX session: %s (%d)  (SMUX4053)\n", PROGRAM_NAME,
                           ax_error_name(pdu.error), pdu.error);
        drop("the master agent refused the session", false, 0);
        return;
    }
    ax.session_id = pdu.h.session_id;
    ax.state = phase::registering;
    ax.cursor = subtrees;
    register_cursor();
}

void register_answered(const ax_pdu& pdu)
{
    if (pdu.error != 0) {
        log_line(stderr, "%s: AgentX registration of %s failed: %s  (SMUX4011)\n", PROGRAM_NAME, ax.cursor->name,
                 ax_error_name(pdu.error));
    } else {
        ax.any_registered = true;
        master_log_granted("AgentX");
    }
    ++ax.cursor;
    register_cursor();
}

void response_received(const ax_pdu& pdu)
{
    if (ax.awaited != 0 && pdu.h.packet_id == ax.awaited) {
        ax.awaited = 0;
        ax.due = 0;
        if (ax.state == phase::opening)
            open_answered(pdu);
        else if (ax.state == phase::registering)
            register_answered(pdu);
        return;
    }
    if (pdu.h.packet_id == ax.last_notify && pdu.error != 0)
        log_line(stderr, "%s: The master agent refused a notification: %s  (SMUX4022)\n", PROGRAM_NAME,
                 ax_error_name(pdu.error));
    // Answers to Notify and Unregister need nothing more.
}

// --- requests -----------------------------------------------------------------

// An answer on its way back, in the byte order of the request.
struct answer {
    uint16_t error = 0;
    uint16_t index = 0;
    std::vector<ax_varbind> varbinds;
};

bool same_request(const sent_answer& a, const ax_header& h)
{
    return a.session_id == h.session_id && a.transaction_id == h.transaction_id && a.packet_id == h.packet_id &&
           a.type == h.type;
}

void respond(const ax_header& request, const answer& out)
{
    ax_header h = request;
    h.type = AX_PDU_RESPONSE;
    h.flags = request.flags & AX_FLAG_NETWORK_BYTE_ORDER;
    std::vector<uint8_t> pdu;
    if (!ax_build_response(pdu, h, uptime(), out.error, out.index, out.varbinds)) {
        // Too large for one PDU: the v2 answer is tooBig without varbinds.
        if (!ax_build_response(pdu, h, uptime(), SNMP_TOO_BIG, 0, {}))
            return;
    }
    if (!send_pdu(pdu, "agentx_response", "SMUX4004"))
        return;
    ax.answers.push_back({request.session_id, request.transaction_id, request.packet_id, request.type, std::move(pdu)});
    if (ax.answers.size() > AGENTX_ANSWERS_KEPT)
        ax.answers.pop_front();
}

// An SNMP varbind named `name` without a value, for the dispatch to fill.
varbind_ptr blank_varbind(const ax_oid& name)
{
    snmp_oid* oid = ax_oid_to_snmp(name);
    return varbind_ptr(oid ? make_varbind(oid, SNMP_NULL, 0, 0, nullptr, nullptr) : nullptr);
}

ax_varbind exception(const ax_oid& name, uint16_t type)
{
    ax_varbind vb;
    vb.name = name;
    vb.name.include = false;
    vb.type = type;
    return vb;
}

// The dispatch's answer in AgentX terms: 0 with *out filled, or an error.
int take_value(const snmp_varbind& vb, ax_varbind* out)
{
    return ax_varbind_from_snmp(out, vb) ? 0 : SNMP_GEN_ERR;
}

// Get of one name: its value or the exception for what is missing.
int get_one(const ax_oid& name, ax_varbind* out)
{
    varbind_ptr vb = blank_varbind(name);
    if (!vb)
        return SNMP_GEN_ERR;
    int status = dispatch_varbind(vb.get(), SMUX_OP_GET);
    if (status == SNMP_NO_SUCH_NAME) {
        *out = exception(name, dispatch_serves_object(vb->name) ? AX_NO_SUCH_INSTANCE : AX_NO_SUCH_OBJECT);
        return 0;
    }
    return status != 0 ? status : take_value(*vb, out);
}

// GetNext within a search range: the first value after the start (or at
// it, when the range includes it) and before the end, else endOfMibView.
int get_next_one(const ax_search_range& range, ax_varbind* out)
{
    if (range.start.include) {
        varbind_ptr at = blank_varbind(range.start);
        if (!at)
            return SNMP_GEN_ERR;
        if (dispatch_varbind(at.get(), SMUX_OP_GET) == 0 && take_value(*at, out) == 0) {
            if (range.end.n == 0 || ax_oid_cmp(out->name, range.end) < 0)
                return 0;
        }
    }
    varbind_ptr vb = blank_varbind(range.start);
    if (!vb)
        return SNMP_GEN_ERR;
    int status = dispatch_varbind(vb.get(), SMUX_OP_GET_NEXT);
    if (status == SNMP_NO_SUCH_NAME) {
        *out = exception(range.start, AX_END_OF_MIB_VIEW);
        return 0;
    }
    if (status != 0)
        return status;
    if (take_value(*vb, out) != 0)
        return SNMP_GEN_ERR;
    // The range ends where the master's next registration begins: an
    // answer at or past it belongs to someone else (RFC 2741 section 7.2.3.2).
    if (range.end.n != 0 && ax_oid_cmp(out->name, range.end) >= 0)
        *out = exception(range.start, AX_END_OF_MIB_VIEW);
    return 0;
}

void answer_get(const ax_pdu& pdu, answer* out)
{
    for (size_t i = 0; i < pdu.ranges.size(); ++i) {
        ax_varbind vb;
        int status = pdu.h.type == AX_PDU_GET ? get_one(pdu.ranges[i].start, &vb) : get_next_one(pdu.ranges[i], &vb);
        if (status != 0) {
            out->error = static_cast<uint16_t>(status);
            out->index = static_cast<uint16_t>(i + 1);
            out->varbinds.clear();
            return;
        }
        out->varbinds.push_back(vb);
    }
}

size_t varbind_size(const ax_varbind& vb)
{
    return 8 + 4u * vb.name.n + 8 + vb.octets.size() + 4u * vb.oid.n;
}

// GetBulk (RFC 2741 section 7.2.3.3): the non-repeaters once, then each
// repeater again and again from its last answer, until every repeater has
// reached the end of its range, the repetitions are done, or the answer
// would grow too large.
void answer_bulk(const ax_pdu& pdu, answer* out)
{
    size_t fixed = std::min<size_t>(pdu.non_repeaters, pdu.ranges.size());
    size_t bytes = 0;
    auto add = [&](size_t i, const ax_search_range& range, ax_varbind* vb) {
        int status = get_next_one(range, vb);
        if (status != 0) {
            out->error = static_cast<uint16_t>(status);
            out->index = static_cast<uint16_t>(i + 1);
            out->varbinds.clear();
            return false;
        }
        bytes += varbind_size(*vb);
        out->varbinds.push_back(*vb);
        return true;
    };
    for (size_t i = 0; i < fixed; ++i) {
        ax_varbind vb;
        if (!add(i, pdu.ranges[i], &vb))
            return;
    }
    std::vector<ax_search_range> repeaters(pdu.ranges.begin() + static_cast<long>(fixed), pdu.ranges.end());
    for (int round = 0; round < pdu.max_repetitions && !repeaters.empty(); ++round) {
        bool any_left = false;
        for (size_t j = 0; j < repeaters.size(); ++j) {
            if (bytes > BULK_ANSWER_BUDGET)
                return;
            ax_varbind vb;
            if (!add(fixed + j, repeaters[j], &vb))
                return;
            if (vb.type != AX_END_OF_MIB_VIEW) {
                any_left = true;
                repeaters[j].start = vb.name;
                repeaters[j].start.include = false;
            }
        }
        if (!any_left)
            return;
    }
}

// A set's refusal in SNMPv2 terms: a name nobody serves cannot be written,
// and a v1 badValue is a wrong value.
uint16_t v2_set_status(int status)
{
    switch (status) {
    case SNMP_NO_SUCH_NAME:
    case SNMP_READ_ONLY:
        return SNMP_NOT_WRITABLE;
    case SNMP_BAD_VALUE:
        return SNMP_WRONG_VALUE;
    default:
        return static_cast<uint16_t>(status);
    }
}

void answer_test_set(const ax_pdu& pdu, answer* out)
{
    // A transaction that never saw its CleanupSet is over now.
    if (ax.in_transaction && ax.transaction_id != pdu.h.transaction_id)
        end_transaction();
    ax.in_transaction = true;
    ax.transaction_id = pdu.h.transaction_id;
    ax.committed = false;
    ax.undone = false;
    for (size_t i = 0; i < pdu.varbinds.size(); ++i) {
        varbind_ptr vb(ax_varbind_to_snmp(pdu.varbinds[i]));
        int status = vb ? dispatch_varbind(vb.get(), SMUX_OP_SET) : SNMP_WRONG_TYPE;
        if (status != 0) {
            out->error = v2_set_status(status);
            out->index = static_cast<uint16_t>(i + 1);
            return;
        }
    }
}

void handle_request(const ax_pdu& pdu)
{
    for (const sent_answer& kept : ax.answers) {
        if (same_request(kept, pdu.h)) {
            // The master sent it again: the first answer stands, and no
            // agent hears of the request twice.
            (void)send_pdu(kept.bytes, "agentx_response", "SMUX4004");
            return;
        }
    }
    answer out;
    if (!pdu.context.empty()) {
        out.error = AX_ERR_UNSUPPORTED_CONTEXT;
        respond(pdu.h, out);
        return;
    }
    bool in_transaction = ax.in_transaction && ax.transaction_id == pdu.h.transaction_id;
    switch (pdu.h.type) {
    case AX_PDU_GET:
    case AX_PDU_GET_NEXT:
    case AX_PDU_GET_BULK:
        dispatch_begin(SMUX_OP_GET);
        if (pdu.h.type == AX_PDU_GET_BULK)
            answer_bulk(pdu, &out);
        else
            answer_get(pdu, &out);
        dispatch_end();
        break;
    case AX_PDU_TEST_SET:
        dispatch_begin(SMUX_OP_SET);
        answer_test_set(pdu, &out);
        dispatch_end();
        break;
    case AX_PDU_COMMIT_SET:
        // Phase 2 waits for CleanupSet: another sub-agent's commit may
        // still fail and have this one undone.
        if (in_transaction)
            ax.committed = true;
        else
            out.error = SNMP_COMMIT_FAILED;
        break;
    case AX_PDU_UNDO_SET:
        if (in_transaction)
            ax.undone = true;
        else
            out.error = SNMP_UNDO_FAILED;
        break;
    case AX_PDU_CLEANUP_SET:
        // The end of the transaction; the master expects no answer.
        if (in_transaction)
            end_transaction();
        return;
    default:
        return;
    }
    respond(pdu.h, out);
}

// --- input ----------------------------------------------------------------------

void take_pdu(bool decoded, const ax_pdu& pdu, const char* why)
{
    if (!decoded) {
        log_line(stderr, "%s: agentx_receive: malformed PDU from the master agent [%s]  (SMUX4001)\n", PROGRAM_NAME,
                 why);
        drop("the master agent sent a malformed PDU", false, AX_CLOSE_PARSE_ERROR);
        return;
    }
    if (pdu.h.type != AX_PDU_CLOSE)
        master_log_answered();
    switch (pdu.h.type) {
    case AX_PDU_RESPONSE:
        response_received(pdu);
        break;
    case AX_PDU_GET:
    case AX_PDU_GET_NEXT:
    case AX_PDU_GET_BULK:
    case AX_PDU_TEST_SET:
    case AX_PDU_COMMIT_SET:
    case AX_PDU_UNDO_SET:
    case AX_PDU_CLEANUP_SET:
        if (ax.state == phase::registering || ax.state == phase::open) {
            handle_request(pdu);
            break;
        }
        [[fallthrough]];
    default:
        log_line(stderr, "%s: unexpected AgentX %s from the master agent  (SMUX4012)\n", PROGRAM_NAME,
                 ax_pdu_type_name(pdu.h.type));
        drop("the master agent sent a PDU out of turn", false, AX_CLOSE_PROTOCOL_ERROR);
        break;
    case AX_PDU_CLOSE: {
        char why_text[96];
        std::snprintf(why_text, sizeof why_text, "the master agent closed it: %s (%d)",
                      ax_close_reason_name(pdu.reason), pdu.reason);
        if (!master_log_associated() && pdu.reason != AX_CLOSE_SHUTDOWN)
            master_log_failure("%s: The master agent closed the AgentX session: %s (%d)  (SMUX4044)\n", PROGRAM_NAME,
                               ax_close_reason_name(pdu.reason), pdu.reason);
        drop(why_text, pdu.reason == AX_CLOSE_SHUTDOWN, 0);
        break;
    }
    }
}

// --- the seam -----------------------------------------------------------------

int ax_connect(const stream_address& address)
{
    drop("a new session is being made", true, AX_CLOSE_SHUTDOWN);
    // AgentX carries values up to its PDU size whole.
    mib_set_octets_limit(AX_MAX_PDU - 1024);
    ax.answers.clear();
    int result = stream_open(ax.conn, address, AX_MAX_PDU);
    if (result == STREAM_LOST) {
        master_log_unreachable("agentx_connect", "master agent not reachable", ax.conn.info, "SMUX4000");
        return -1;
    }
    if (result != STREAM_OK) {
        log_line(stderr, "%s: agentx_connect: %s  (SMUX4000)\n", PROGRAM_NAME, ax.conn.info);
        terminate_service();
    }
    ax.state = phase::connecting;
    ax.due = stream_now_ms() + MASTER_ANSWER_WAIT_MS;
    return ax.conn.fd;
}

int ax_fd() { return ax.conn.fd; }

bool ax_opened() { return ax.state != phase::connecting; }

void ax_writable()
{
    int result = stream_check_connected(ax.conn);
    if (result == STREAM_AGAIN)
        return;
    if (result != STREAM_OK) {
        ax.state = phase::closed;
        ax.due = 0;
        master_log_unreachable("agentx_open", "master agent not reachable", ax.conn.info, "SMUX4005");
        return;
    }
    ax_oid id;
    if (!ax_oid_from_snmp(&id, peer_identity()))
        ax_oid_set(&id, nullptr, 0);
    std::vector<uint8_t> pdu;
    uint32_t packet = ax.next_packet++;
    ax.session_id = 0;
    ax_build_open(pdu, header_for(AX_PDU_OPEN, packet), AGENTX_TIMEOUT_SECONDS, id, dsmux::PEER_DESCRIPTION);
    ax.state = phase::opening;
    ax.opened_ms = stream_now_ms();
    master_log_opening();
    await(packet);
    (void)send_pdu(pdu, "agentx_open", "SMUX4005");
}

void ax_readable()
{
    // One PDU per call, as the loop expects; a second one already buffered
    // makes the loop come back at once.
    size_t len = 0;
    int result = stream_take(ax.conn, ax_frame, &len);
    if (result == STREAM_AGAIN)
        return;
    if (result == STREAM_LOST) {
        bool had = master_log_associated();
        drop("the master agent went away (end of stream)", true, 0);
        if (!had)
            master_log_unreachable("agentx_receive", "master agent went away", ax.conn.info, "SMUX4001");
        return;
    }
    if (result != STREAM_OK) {
        log_line(stderr, "%s: agentx_receive: %s  (SMUX4001)\n", PROGRAM_NAME, ax.conn.info);
        drop("the master agent sent bytes that are not a PDU", false,
             result == STREAM_BAD ? AX_CLOSE_PARSE_ERROR : AX_CLOSE_OTHER);
        return;
    }
    // Decoded before it is handled: handling may send, and a lost send
    // closes the connection and empties its buffer.
    ax_pdu pdu;
    const char* why = "";
    bool decoded = ax_decode(ax.conn.in.data(), len, &pdu, &why);
    stream_consume(ax.conn, len);
    take_pdu(decoded, pdu, why);
}

bool ax_pending() { return stream_pending(ax.conn, ax_frame); }

std::int64_t ax_answer_due() { return ax.conn.fd >= 0 ? ax.due : 0; }

void ax_overdue()
{
    const char* what = ax.state == phase::connecting ? "agentx_connect"
                       : ax.state == phase::opening  ? "agentx_open"
                                                     : "agentx_register";
    char detail[64];
    std::snprintf(detail, sizeof detail, "no answer within %d seconds", MASTER_ANSWER_WAIT_MS / 1000);
    drop("the master agent stopped answering", false, AX_CLOSE_TIMEOUTS);
    master_log_unreachable(what, "the master agent does not answer", detail, "SMUX4051");
}

void ax_release()
{
    if (ax.conn.fd < 0 || (ax.state != phase::open && ax.state != phase::registering)) {
        stream_close(ax.conn);
        ax.state = phase::closed;
        return;
    }
    int kept = ax.conn.send_wait_ms;
    ax.conn.send_wait_ms = RELEASE_SEND_WAIT_MS;
    for (subtree* row = subtrees; row->name != nullptr && ax.conn.fd >= 0; ++row) {
        ax_oid subtree;
        std::vector<uint8_t> pdu;
        if (row->oid != nullptr && ax_oid_from_snmp(&subtree, row->oid) &&
            ax_build_registration(pdu, header_for(AX_PDU_UNREGISTER, ax.next_packet++), 0, AX_PRIORITY_DEFAULT,
                                  subtree))
            (void)stream_send(ax.conn, pdu.data(), pdu.size());
    }
    ax.conn.send_wait_ms = kept;
    // Our own stop is no loss worth a line.
    master_log_opening();
    drop("the daemon is stopping", true, AX_CLOSE_SHUTDOWN);
}

int ax_send_trap(std::int32_t specific, const snmp_varbind* list)
{
    if (ax.conn.fd < 0 || (ax.state != phase::open && ax.state != phase::registering)) {
        log_line(stderr, "%s: Can't send snmp trap: no AgentX session  (SMUX4022)\n", PROGRAM_NAME);
        return -1;
    }
    // RFC 3584 section 3.1: snmpTrapOID.0 = enterprise.0.specific, which a
    // master turns back into enterprise, generic 6 and specific for a v1
    // sink.
    std::vector<ax_varbind> notify(1);
    std::vector<uint32_t> trap_oid(std::begin(SMUX_ENTERPRISE_IDS), std::end(SMUX_ENTERPRISE_IDS));
    trap_oid.push_back(0);
    trap_oid.push_back(static_cast<uint32_t>(specific));
    ax_oid_set(&notify[0].name, SNMP_TRAP_OID_0, std::size(SNMP_TRAP_OID_0));
    notify[0].type = AX_OBJECT_ID;
    ax_oid_set(&notify[0].oid, trap_oid.data(), trap_oid.size());
    for (const snmp_varbind* vb = list; vb != nullptr; vb = vb->next) {
        notify.emplace_back();
        if (!ax_varbind_from_snmp(&notify.back(), *vb))
            notify.pop_back();
    }
    std::vector<uint8_t> pdu;
    ax.last_notify = ax.next_packet++;
    if (!ax_build_varbinds(pdu, header_for(AX_PDU_NOTIFY, ax.last_notify), notify)) {
        log_line(stderr, "%s: Can't send snmp trap: too big for one AgentX PDU  (SMUX4022)\n", PROGRAM_NAME);
        return -1;
    }
    int result = stream_send(ax.conn, pdu.data(), pdu.size());
    if (result != STREAM_OK) {
        log_line(stderr, "%s: Can't send snmp trap: %s  (SMUX4022)\n", PROGRAM_NAME, ax.conn.info);
        send_failed("agentx_notify", "SMUX4022", result);
        return -1;
    }
    return 0;
}

std::int32_t ax_state()
{
    switch (ax.state) {
    case phase::closed: return ax.reconnect_off ? STATUS_SMUX_OFF : STATUS_SMUX_NONE;
    case phase::connecting: return STATUS_SMUX_CONNECTING;
    default: return master_log_associated() ? STATUS_SMUX_ASSOCIATED : STATUS_SMUX_REGISTERING;
    }
}

bool ax_given_up() { return ax.reconnect_off; }

// Opens a session of its own and closes it again: the master answers, or
// says why not. Nothing is registered.
bool ax_probe(const stream_address& address, std::string* why)
{
    stream_conn conn;
    int result = stream_open(conn, address, AX_MAX_PDU);
    if (result == STREAM_OK)
        result = stream_wait_connected(conn, 3000);
    if (result != STREAM_OK) {
        *why = std::string("not reachable (") + conn.info + ")";
        stream_close(conn);
        return false;
    }
    ax_oid id;
    if (!ax_oid_from_snmp(&id, peer_identity()))
        ax_oid_set(&id, nullptr, 0);
    ax_header h;
    h.type = AX_PDU_OPEN;
    h.packet_id = 1;
    std::vector<uint8_t> pdu;
    ax_build_open(pdu, h, AGENTX_TIMEOUT_SECONDS, id, dsmux::PEER_DESCRIPTION);
    size_t len = 0;
    ax_pdu answer;
    const char* fault = "";
    if (stream_send(conn, pdu.data(), pdu.size()) != STREAM_OK ||
        stream_wait_take(conn, ax_frame, &len, 3000) != STREAM_OK ||
        !ax_decode(conn.in.data(), len, &answer, &fault) || answer.h.type != AX_PDU_RESPONSE) {
        *why = "does not answer an AgentX open";
        stream_close(conn);
        return false;
    }
    bool opened = answer.error == 0;
    *why = opened ? "answers" : std::string("refuses a session: ") + ax_error_name(answer.error);
    if (opened) {
        pdu.clear();
        h.type = AX_PDU_CLOSE;
        h.session_id = answer.h.session_id;
        h.packet_id = 2;
        if (ax_build_close(pdu, h, AX_CLOSE_SHUTDOWN))
            stream_send_once(conn, pdu.data(), pdu.size());
    }
    stream_close(conn);
    return opened;
}

const master_transport AGENTX_TRANSPORT = {
    "AgentX",     ax_connect, ax_fd,         ax_opened,  ax_writable, ax_readable, ax_pending,
    ax_answer_due, ax_overdue, ax_release,   ax_send_trap, ax_state,  ax_given_up, ax_probe,
};

}  // namespace

const master_transport* agentx_transport() { return &AGENTX_TRANSPORT; }

std::uint32_t agentx_session_id() { return ax.session_id; }

void agentx_reset()
{
    stream_close(ax.conn);
    ax = session{};
}

void agentx_set_send_wait(int milliseconds)
{
    ax.conn.send_wait_ms = milliseconds > 0 ? milliseconds : stream_conn{}.send_wait_ms;
}
